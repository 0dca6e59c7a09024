// The helper's error codes. The raw value of each is the wire string of an err message's code.
#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace quorvel::helper {

enum class HelperErrorCode {
  badRequest,
  unsupportedOp,
  internal,
  captionsUnsupported,
  captionsModelMissing,
  captionsAudioUnavailable,
  captionsStartFailed,
};

inline constexpr std::array<HelperErrorCode, 7> allHelperErrorCodes{
    HelperErrorCode::badRequest,
    HelperErrorCode::unsupportedOp,
    HelperErrorCode::internal,
    HelperErrorCode::captionsUnsupported,
    HelperErrorCode::captionsModelMissing,
    HelperErrorCode::captionsAudioUnavailable,
    HelperErrorCode::captionsStartFailed};

constexpr std::string_view rawValue(HelperErrorCode code) {
  switch (code) {
    case HelperErrorCode::badRequest:
      return "BAD_REQUEST";
    case HelperErrorCode::unsupportedOp:
      return "UNSUPPORTED_OP";
    case HelperErrorCode::internal:
      return "INTERNAL";
    case HelperErrorCode::captionsUnsupported:
      return "CAPTIONS_UNSUPPORTED";
    case HelperErrorCode::captionsModelMissing:
      return "CAPTIONS_MODEL_MISSING";
    case HelperErrorCode::captionsAudioUnavailable:
      return "CAPTIONS_AUDIO_UNAVAILABLE";
    case HelperErrorCode::captionsStartFailed:
      return "CAPTIONS_START_FAILED";
  }
  return "INTERNAL";
}

// Exact match of a wire string; nothing for any other text.
constexpr std::optional<HelperErrorCode> helperErrorCodeFromRaw(std::string_view raw) {
  for (auto c : allHelperErrorCodes) {
    if (rawValue(c) == raw) return c;
  }
  return std::nullopt;
}

}  // namespace quorvel::helper
