#include "caption_engine/logic/caption_audio_path_machine.h"

#include <type_traits>
#include <variant>

namespace quorvel {

std::optional<CaptionAudioPathMachine::Emit> CaptionAudioPathMachine::apply(
    const CaptionAudioPathEvent& event, CaptionState current) {
  // Path events count only while the session runs or waits for audio.
  if (current != CaptionState::running && current != CaptionState::noAudio) return std::nullopt;

  return std::visit(
      [&](const auto& e) -> std::optional<Emit> {
        using E = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<E, CaptionAudioPathEvent::Held>) {
          if (hold == e.reason) return std::nullopt;
          hold = e.reason;
          return Emit{CaptionState::noAudio, e.reason};
        } else if constexpr (std::is_same_v<E, CaptionAudioPathEvent::FellBack>) {
          if (fellBack) return std::nullopt;
          fellBack = true;
          return Emit{current, CaptionAudioReason::inputFallback};
        } else if constexpr (std::is_same_v<E, CaptionAudioPathEvent::Restored>) {
          if (!fellBack) return std::nullopt;
          fellBack = false;
          return Emit{current, CaptionAudioReason::inputRestored};
        } else {
          if (!hold) return std::nullopt;
          hold.reset();
          return Emit{CaptionState::running, CaptionAudioReason::audioResumed};
        }
      },
      event.value());
}

}  // namespace quorvel
