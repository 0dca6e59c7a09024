// Hashing for the value types: the hashes of a value's fields, folded in order into one, for the
// std::hash specialisations that let hosts keep our values in unordered containers. Hashes agree
// with equality: a double hashes +0.0 and -0.0 alike (they compare equal), optionals and vectors
// hash what they hold. Header-only, standard library only, so that every value header can use it.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

namespace quorvel::hashing {

inline void combine(std::size_t& seed, std::size_t hash) noexcept {
  seed ^= hash + static_cast<std::size_t>(0x9e3779b97f4a7c15ULL) + (seed << 6) + (seed >> 2);
}

// The hash of one field: std::hash, except for doubles, optionals and vectors.
inline std::size_t hashOf(double value) noexcept {
  return std::hash<double>{}(value == 0.0 ? 0.0 : value);
}
template <class T>
std::size_t hashOf(const std::optional<T>& value) noexcept;
template <class T>
std::size_t hashOf(const std::vector<T>& values) noexcept;
template <class T>
std::size_t hashOf(const T& value) noexcept {
  return std::hash<T>{}(value);
}

template <class T>
std::size_t hashOf(const std::optional<T>& value) noexcept {
  std::size_t seed = value.has_value() ? 1 : 0;
  if (value) combine(seed, hashOf(*value));
  return seed;
}

template <class T>
std::size_t hashOf(const std::vector<T>& values) noexcept {
  std::size_t seed = values.size();
  for (const T& value : values) combine(seed, hashOf(value));
  return seed;
}

// The hash of a value with the given fields, in the order given.
template <class... Fields>
std::size_t hashFields(const Fields&... fields) noexcept {
  std::size_t seed = 0;
  (combine(seed, hashOf(fields)), ...);
  return seed;
}

}  // namespace quorvel::hashing
