// The error codes of the engine and the helper, one enumeration for both. The raw value of each
// is the wire string of an err message's code. The runtime never fails with unsupportedOp: only
// the helper's dispatcher answers an unknown op with it.
#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace quorvel {

enum class CaptionErrorCode {
  badRequest,
  unsupportedOp,
  internal,
  captionsUnsupported,
  captionsModelMissing,
  captionsAudioUnavailable,
  captionsStartFailed,
};

inline constexpr std::array<CaptionErrorCode, 7> allCaptionErrorCodes{
    CaptionErrorCode::badRequest,
    CaptionErrorCode::unsupportedOp,
    CaptionErrorCode::internal,
    CaptionErrorCode::captionsUnsupported,
    CaptionErrorCode::captionsModelMissing,
    CaptionErrorCode::captionsAudioUnavailable,
    CaptionErrorCode::captionsStartFailed};

constexpr std::string_view rawValue(CaptionErrorCode code) {
  switch (code) {
    case CaptionErrorCode::badRequest:
      return "BAD_REQUEST";
    case CaptionErrorCode::unsupportedOp:
      return "UNSUPPORTED_OP";
    case CaptionErrorCode::internal:
      return "INTERNAL";
    case CaptionErrorCode::captionsUnsupported:
      return "CAPTIONS_UNSUPPORTED";
    case CaptionErrorCode::captionsModelMissing:
      return "CAPTIONS_MODEL_MISSING";
    case CaptionErrorCode::captionsAudioUnavailable:
      return "CAPTIONS_AUDIO_UNAVAILABLE";
    case CaptionErrorCode::captionsStartFailed:
      return "CAPTIONS_START_FAILED";
  }
  return "INTERNAL";
}

// Exact match of a wire string; nothing for any other text.
constexpr std::optional<CaptionErrorCode> captionErrorCodeFromRaw(std::string_view raw) {
  for (auto c : allCaptionErrorCodes) {
    if (rawValue(c) == raw) return c;
  }
  return std::nullopt;
}

}  // namespace quorvel
