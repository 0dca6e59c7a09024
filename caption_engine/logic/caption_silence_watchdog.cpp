#include "caption_engine/logic/caption_silence_watchdog.h"

namespace quorvel {

CaptionSilenceWatchdog::Transition CaptionSilenceWatchdog::note(double levelDb, int64_t nowMs) {
  if (levelDb > thresholdDb) {
    lastSpeechAtMs_ = nowMs;
    silentSinceMs_.reset();
    if (inNoAudio_) {
      inNoAudio_ = false;
      return Transition::toRunning;
    }
    return Transition::none;
  }
  // Silence, including a level that is not a number.
  if (!silentSinceMs_) silentSinceMs_ = nowMs;
  if (inNoAudio_) return Transition::none;
  int64_t silentForMs = 0;
  // An overflowing difference is either far past the hold (now far ahead) or negative.
  const bool overflow = __builtin_sub_overflow(nowMs, *silentSinceMs_, &silentForMs);
  const bool held = overflow ? nowMs > *silentSinceMs_ : silentForMs >= holdMs;
  if (held) {
    inNoAudio_ = true;
    return Transition::toNoAudio;
  }
  return Transition::none;
}

}  // namespace quorvel
