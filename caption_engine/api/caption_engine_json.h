// JSON form of the engine interface's enumerations with text raw values (CaptionEngineKind,
// CaptionEngineErrorCode, CaptionSegmentEvent::Kind) and of CaptionState: each encodes as a single
// JSON string holding its raw value and decodes from one. Decoding anything else (another string,
// a case name, a number) throws nlohmann's type_error. Header-only; include it only where
// nlohmann/json is available.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

#include "caption_engine/api/caption_engine_values.h"
#include "caption_engine/base/caption_state.h"

namespace quorvel {

namespace caption_json_detail {

template <class BasicJson>
[[noreturn]] void failDecoding(const BasicJson& j, const std::string& message) {
#if NLOHMANN_JSON_VERSION_MAJOR > 3 || \
    (NLOHMANN_JSON_VERSION_MAJOR == 3 && NLOHMANN_JSON_VERSION_MINOR >= 11)
  throw BasicJson::type_error::create(302, message, &j);
#else
  throw BasicJson::type_error::create(302, message, j);
#endif
}

template <class BasicJson, class Enum, class FromRaw>
void decodeRaw(const BasicJson& j, Enum& out, FromRaw fromRaw, const char* typeName) {
  if (!j.is_string()) {
    failDecoding(j, std::string(typeName) + " must be a string, but is " + j.type_name());
  }
  const auto& text = j.template get_ref<const typename BasicJson::string_t&>();
  std::optional<Enum> value = fromRaw(std::string_view(text));
  if (!value) {
    failDecoding(j, std::string(typeName) + " has no raw value \"" + text + "\"");
  }
  out = *value;
}

}  // namespace caption_json_detail

template <class BasicJson>
void to_json(BasicJson& j, const CaptionEngineKind& v) {
  j = std::string(rawValue(v));
}
template <class BasicJson>
void from_json(const BasicJson& j, CaptionEngineKind& v) {
  caption_json_detail::decodeRaw(j, v, captionEngineKindFromRaw, "CaptionEngineKind");
}

template <class BasicJson>
void to_json(BasicJson& j, const CaptionEngineErrorCode& v) {
  j = std::string(rawValue(v));
}
template <class BasicJson>
void from_json(const BasicJson& j, CaptionEngineErrorCode& v) {
  caption_json_detail::decodeRaw(j, v, captionEngineErrorCodeFromRaw, "CaptionEngineErrorCode");
}

template <class BasicJson>
void to_json(BasicJson& j, const CaptionSegmentEvent::Kind& v) {
  j = std::string(rawValue(v));
}
template <class BasicJson>
void from_json(const BasicJson& j, CaptionSegmentEvent::Kind& v) {
  caption_json_detail::decodeRaw(j, v, captionSegmentEventKindFromRaw, "CaptionSegmentEvent.Kind");
}

template <class BasicJson>
void to_json(BasicJson& j, const CaptionState& v) {
  j = std::string(rawValue(v));
}
template <class BasicJson>
void from_json(const BasicJson& j, CaptionState& v) {
  caption_json_detail::decodeRaw(j, v, captionStateFromRaw, "CaptionState");
}

}  // namespace quorvel
