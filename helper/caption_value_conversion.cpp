#include "helper/caption_value_conversion.h"

namespace quorvel::helper {

namespace {

CaptionValue convert(const Json& json, int depth, int maxDepth) {
  switch (json.type()) {
    case Json::value_t::boolean:
      return CaptionValue(json.get<bool>());
    case Json::value_t::number_integer:
      return CaptionValue(json.get<int64_t>());
    case Json::value_t::number_unsigned: {
      const auto u = json.get<uint64_t>();
      if (u <= static_cast<uint64_t>(INT64_MAX)) return CaptionValue(static_cast<int64_t>(u));
      return CaptionValue(static_cast<double>(u));
    }
    case Json::value_t::number_float:
      return CaptionValue(json.get<double>());
    case Json::value_t::string:
      return CaptionValue(json.get_ref<const std::string&>());
    case Json::value_t::array: {
      if (depth >= maxDepth) return CaptionValue();
      CaptionValue::Array a;
      a.reserve(json.size());
      for (const auto& element : json) a.push_back(convert(element, depth + 1, maxDepth));
      return CaptionValue(std::move(a));
    }
    case Json::value_t::object: {
      if (depth >= maxDepth) return CaptionValue();
      CaptionValue::Object o;
      for (const auto& [key, value] : json.items())
        o.emplace(key, convert(value, depth + 1, maxDepth));
      return CaptionValue(std::move(o));
    }
    default:
      return CaptionValue();  // null, binary, discarded
  }
}

}  // namespace

CaptionValue toCaptionValue(const Json& json, int maxDepth) { return convert(json, 0, maxDepth); }

}  // namespace quorvel::helper
