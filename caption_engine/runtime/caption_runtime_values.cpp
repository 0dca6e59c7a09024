#include "caption_engine/runtime/caption_runtime_values.h"

#include <chrono>
#include <cmath>

namespace quorvel {

int64_t CaptionStatusMapping::seconds(std::optional<int64_t> startedAtMs,
                                      std::optional<int64_t> endedAtMs, int64_t nowMs) {
  if (!startedAtMs) return 0;
  const int64_t end = endedAtMs.value_or(nowMs);
  const int64_t elapsed = end - *startedAtMs;
  const double whole = std::floor(static_cast<double>(elapsed) / 1000.0);
  return whole < 0 ? 0 : static_cast<int64_t>(whole);
}

double clampedFraction(double fraction) {
  if (!std::isfinite(fraction) || fraction < 0.0) return 0.0;
  return fraction > 1.0 ? 1.0 : fraction;
}

CaptionRuntimeEvents CaptionRuntimeEvents::silent() {
  CaptionRuntimeEvents e;
  e.state = [](CaptionState, const std::optional<std::string>&, const std::optional<std::string>&,
               std::optional<double>) {};
  e.level = [](const std::string&, double) {};
  e.assetProgress = [](const std::string&, double, bool, const std::optional<std::string>&) {};
  e.segment = [](const std::string&, const CaptionEmission&, const std::string&) {};
  e.log = [](const std::string&) {};
  e.uiLevel = [](const std::string&, const CaptionLevelReading&) {};
  e.sourceEnded = [](const std::string&, int64_t) {};
  return e;
}

int64_t captionNowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace quorvel
