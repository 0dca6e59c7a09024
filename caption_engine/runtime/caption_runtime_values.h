// The plain values that cross the boundary between the caption runtime and whoever drives it:
// start and stop results, the status snapshot, the capabilities record and the event
// callbacks. Their wire forms are the helper's.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "caption_engine/base/caption_level_reading.h"
#include "caption_engine/base/caption_state.h"
#include "caption_engine/logic/caption_emission.h"

namespace quorvel {

struct CaptionRuntimeStartResult {
  std::string locale;
  int64_t startedAtMs = 0;
  bool operator==(const CaptionRuntimeStartResult&) const = default;
};

struct CaptionRuntimeStopResult {
  int64_t finals = 0;
  int64_t seconds = 0;
  bool operator==(const CaptionRuntimeStopResult&) const = default;
};

struct CaptionRuntimeStatus {
  CaptionState state = CaptionState::idle;
  std::optional<std::string> sessionId;
  std::optional<std::string> locale;
  std::optional<int64_t> startedAtMs;
  std::optional<int64_t> endedAtMs;
  std::optional<int64_t> lastSpeechAtMs;
  std::optional<double> levelDb;
  int64_t nowMs = 0;

  bool operator==(const CaptionRuntimeStatus&) const = default;
};

struct CaptionRuntimeCapabilities {
  bool supported = false;
  std::optional<std::string> reason;
  std::vector<std::string> installedLocales;
  std::vector<std::string> supportedLocales;
  // The installed locales that run on the neural engine (not part of the wire form).
  std::vector<std::string> neuralLocales = {};

  bool operator==(const CaptionRuntimeCapabilities&) const = default;
};

// A progress fraction as hosts get it: NaN and infinities become 0, then it is clamped to 0…1.
double clampedFraction(double fraction);

// The callbacks the runtime raises. They may be called from any runtime thread, never while
// the runtime holds one of its locks. Unset callbacks do nothing.
struct CaptionRuntimeEvents {
  std::function<void(CaptionState, const std::optional<std::string>& sessionId,
                     const std::optional<std::string>& reason, std::optional<double> levelDb)>
      state;
  std::function<void(const std::string& sessionId, double levelDb)> level;
  std::function<void(const std::string& locale, double fraction, bool done,
                     const std::optional<std::string>& error)>
      assetProgress;
  std::function<void(const std::string& sessionId, const CaptionEmission& emission,
                     const std::string& locale)>
      segment;
  std::function<void(const std::string& message)> log;
  std::function<void(const std::string& sessionId, const CaptionLevelReading& reading)> uiLevel;
  // The session's source has no more audio (a file's end), after audioMs of it.
  std::function<void(const std::string& sessionId, int64_t audioMs)> sourceEnded;

  // Callbacks that all do nothing.
  static CaptionRuntimeEvents silent();

  // Raise helpers that skip unset callbacks.
  void raiseState(CaptionState s, const std::optional<std::string>& sessionId,
                  const std::optional<std::string>& reason, std::optional<double> levelDb) const {
    if (state) state(s, sessionId, reason, levelDb);
  }
  void raiseLevel(const std::string& sessionId, double db) const {
    if (level) level(sessionId, db);
  }
  // The fraction is clamped on the way (clampedFraction).
  void raiseAssetProgress(const std::string& locale, double fraction, bool done,
                          const std::optional<std::string>& error) const {
    if (assetProgress) assetProgress(locale, clampedFraction(fraction), done, error);
  }
  void raiseSegment(const std::string& sessionId, const CaptionEmission& e,
                    const std::string& locale) const {
    if (segment) segment(sessionId, e, locale);
  }
  void raiseLog(const std::string& message) const {
    if (log) log(message);
  }
  void raiseUiLevel(const std::string& sessionId, const CaptionLevelReading& r) const {
    if (uiLevel) uiLevel(sessionId, r);
  }
  void raiseSourceEnded(const std::string& sessionId, int64_t audioMs) const {
    if (sourceEnded) sourceEnded(sessionId, audioMs);
  }
};

namespace CaptionStatusMapping {
// Whole seconds from start to end (or now), rounded down, never negative; 0 without a start.
int64_t seconds(std::optional<int64_t> startedAtMs, std::optional<int64_t> endedAtMs,
                int64_t nowMs);
}  // namespace CaptionStatusMapping

// Wall-clock milliseconds since the Unix epoch, truncated toward zero.
int64_t captionNowMs();

}  // namespace quorvel
