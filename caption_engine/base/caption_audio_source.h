// Where a session's audio comes from, and how an audio input is described to a host.
// Header-only value types shared by the rules, the audio platforms and the engine interface;
// std::hash covers exactly what equality compares.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "caption_engine/base/caption_value_hash.h"

namespace quorvel {

class CaptionAudioSource {
 public:
  struct Device {
    std::string uniqueID;
    bool operator==(const Device&) const = default;
  };
  struct File {
    std::string path;
    bool paced = false;
    bool operator==(const File&) const = default;
  };
  struct SystemDefault {
    bool operator==(const SystemDefault&) const = default;
  };

  static CaptionAudioSource device(std::string uniqueID) { return {Device{std::move(uniqueID)}}; }
  static CaptionAudioSource file(std::string path, bool paced) {
    return {File{std::move(path), paced}};
  }
  static CaptionAudioSource systemDefault() { return {SystemDefault{}}; }

  const Device* asDevice() const { return std::get_if<Device>(&value_); }
  const File* asFile() const { return std::get_if<File>(&value_); }
  bool isSystemDefault() const { return std::holds_alternative<SystemDefault>(value_); }

  bool operator==(const CaptionAudioSource&) const = default;

 private:
  CaptionAudioSource(std::variant<Device, File, SystemDefault> v) : value_(std::move(v)) {}
  std::variant<Device, File, SystemDefault> value_;
};

enum class CaptionAudioInputKind { builtIn, usb, headset, bluetooth, lineIn, other };

inline constexpr std::array<CaptionAudioInputKind, 6> allCaptionAudioInputKinds{
    CaptionAudioInputKind::builtIn,   CaptionAudioInputKind::usb,    CaptionAudioInputKind::headset,
    CaptionAudioInputKind::bluetooth, CaptionAudioInputKind::lineIn, CaptionAudioInputKind::other};

constexpr std::string_view rawValue(CaptionAudioInputKind kind) {
  switch (kind) {
    case CaptionAudioInputKind::builtIn:
      return "built_in";
    case CaptionAudioInputKind::usb:
      return "usb";
    case CaptionAudioInputKind::headset:
      return "headset";
    case CaptionAudioInputKind::bluetooth:
      return "bluetooth";
    case CaptionAudioInputKind::lineIn:
      return "line_in";
    case CaptionAudioInputKind::other:
      return "other";
  }
  return "other";
}

constexpr std::optional<CaptionAudioInputKind> captionAudioInputKindFromRaw(std::string_view raw) {
  for (auto k : allCaptionAudioInputKinds) {
    if (rawValue(k) == raw) return k;
  }
  return std::nullopt;
}

struct CaptionAudioInput {
  std::string id;
  std::string label;
  bool isDefault = false;
  CaptionAudioInputKind kind = CaptionAudioInputKind::other;
  std::optional<std::string> note;

  bool operator==(const CaptionAudioInput&) const = default;
};

}  // namespace quorvel

namespace std {

// The case and its payload: a device's id, a file's path and pacing.
template <>
struct hash<quorvel::CaptionAudioSource> {
  size_t operator()(const quorvel::CaptionAudioSource& source) const noexcept {
    using quorvel::hashing::hashFields;
    if (const auto* device = source.asDevice()) return hashFields(0, device->uniqueID);
    if (const auto* file = source.asFile()) return hashFields(1, file->path, file->paced);
    return hashFields(2);
  }
};

template <>
struct hash<quorvel::CaptionAudioInput> {
  size_t operator()(const quorvel::CaptionAudioInput& input) const noexcept {
    return quorvel::hashing::hashFields(input.id, input.label, input.isDefault, input.kind,
                                        input.note);
  }
};

}  // namespace std
