// The eight states of a caption session and their wire words. Header-only so that the session
// rules can name a state without linking the runtime.
#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace quorvel {

enum class CaptionState {
  idle,
  starting,
  running,
  noAudio,
  modelMissing,
  unsupported,
  error,
  stopped
};

inline constexpr std::array<CaptionState, 8> allCaptionStates{
    CaptionState::idle,    CaptionState::starting,     CaptionState::running,
    CaptionState::noAudio, CaptionState::modelMissing, CaptionState::unsupported,
    CaptionState::error,   CaptionState::stopped};

// The wire word of a state ("no_audio" for noAudio).
constexpr std::string_view rawValue(CaptionState state) {
  switch (state) {
    case CaptionState::idle:
      return "idle";
    case CaptionState::starting:
      return "starting";
    case CaptionState::running:
      return "running";
    case CaptionState::noAudio:
      return "no_audio";
    case CaptionState::modelMissing:
      return "model_missing";
    case CaptionState::unsupported:
      return "unsupported";
    case CaptionState::error:
      return "error";
    case CaptionState::stopped:
      return "stopped";
  }
  return "idle";
}

// Exact, case-sensitive match of a wire word; nothing for any other text.
constexpr std::optional<CaptionState> captionStateFromRaw(std::string_view raw) {
  for (CaptionState s : allCaptionStates) {
    if (rawValue(s) == raw) return s;
  }
  return std::nullopt;
}

// A session is on air while it is starting, running or waiting for audio.
constexpr bool isOnAir(CaptionState state) {
  return state == CaptionState::starting || state == CaptionState::running ||
         state == CaptionState::noAudio;
}

}  // namespace quorvel
