// Turns a stream of level figures into the move to noAudio after 45 s without a level above
// -50 dBFS, and back to running on the first level above it. A value type; the runtime feeds it
// from its watchdog timer under its state lock.
#pragma once

#include <cstdint>
#include <optional>

namespace quorvel {

class CaptionSilenceWatchdog {
 public:
  enum class Transition { none, toNoAudio, toRunning };

  static constexpr double thresholdDb = -50.0;
  static constexpr int64_t holdMs = 45000;

  // The silent stretch is taken to begin at startedAtMs.
  explicit CaptionSilenceWatchdog(int64_t startedAtMs) : silentSinceMs_(startedAtMs) {}

  Transition note(double levelDb, int64_t nowMs);

  bool inNoAudio() const { return inNoAudio_; }
  std::optional<int64_t> silentSinceMs() const { return silentSinceMs_; }
  std::optional<int64_t> lastSpeechAtMs() const { return lastSpeechAtMs_; }

  bool operator==(const CaptionSilenceWatchdog&) const = default;

 private:
  bool inNoAudio_ = false;
  std::optional<int64_t> silentSinceMs_;
  std::optional<int64_t> lastSpeechAtMs_;
};

}  // namespace quorvel
