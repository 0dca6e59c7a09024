// Decides which audio path events change a session's reported state and with which reason word.
// While it holds, the silence watchdog is not consulted. A value type, applied under the
// runtime's state lock.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "caption_engine/base/caption_audio_path_event.h"
#include "caption_engine/base/caption_state.h"

namespace quorvel {

// The reason words hosts see in captionState events.
namespace CaptionAudioReason {
inline constexpr const char* coverClosed = "cover_closed";
inline constexpr const char* interrupted = "interrupted";
inline constexpr const char* inputFallback = "input_fallback";
inline constexpr const char* inputRestored = "input_restored";
inline constexpr const char* inputLost = "input_lost";
inline constexpr const char* mediaReset = "media_reset";
inline constexpr const char* audioResumed = "audio_resumed";
inline constexpr std::array<const char*, 4> holds{coverClosed, interrupted, inputLost, mediaReset};
}  // namespace CaptionAudioReason

struct CaptionAudioPathMachine {
  struct Emit {
    CaptionState state;
    std::string reason;
    bool operator==(const Emit&) const = default;
  };

  std::optional<std::string> hold;
  bool fellBack = false;

  bool silencesWatchdog() const { return hold.has_value(); }
  // The state and reason to report, or nothing when the host should see no change.
  std::optional<Emit> apply(const CaptionAudioPathEvent& event, CaptionState current);

  bool operator==(const CaptionAudioPathMachine&) const = default;
};

}  // namespace quorvel
