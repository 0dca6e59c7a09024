// A loosely typed argument value as a host sends it: null, boolean, integer, floating point,
// text, array or object. It lets the session rules read command arguments without depending on a
// JSON library; the helper converts its parsed JSON into this shape.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

namespace quorvel {

struct CaptionValue {
  using Array = std::vector<CaptionValue>;
  using Object = std::map<std::string, CaptionValue>;
  std::variant<std::monostate, bool, int64_t, double, std::string, Array, Object> v;

  CaptionValue() = default;
  CaptionValue(bool b) : v(b) {}
  CaptionValue(int i) : v(int64_t{i}) {}
  CaptionValue(int64_t i) : v(i) {}
  CaptionValue(double d) : v(d) {}
  CaptionValue(const char* s) : v(std::string(s)) {}
  CaptionValue(std::string s) : v(std::move(s)) {}
  CaptionValue(Array a) : v(std::move(a)) {}
  CaptionValue(Object o) : v(std::move(o)) {}

  bool isNull() const { return std::holds_alternative<std::monostate>(v); }
  const bool* asBool() const { return std::get_if<bool>(&v); }
  const std::string* asString() const { return std::get_if<std::string>(&v); }
  const Array* asArray() const { return std::get_if<Array>(&v); }
  const Object* asObject() const { return std::get_if<Object>(&v); }

  // The member named key of an object, or nullptr (also when this is not an object).
  const CaptionValue* member(const std::string& key) const {
    const Object* o = asObject();
    if (!o) return nullptr;
    auto it = o->find(key);
    return it == o->end() ? nullptr : &it->second;
  }
};

}  // namespace quorvel
