// Turns a stream of single samples into level readings at a fixed rate (24 a second in the
// runtime): each reading has the level of the window just completed and, with band analysis on,
// the 13 band levels of the latest 1024 samples. A value type; the runtime keeps one per session.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "caption_engine/base/caption_level_reading.h"
#include "caption_engine/levels/caption_band_analyzer.h"

namespace quorvel {

namespace CaptionLevelReadings {
inline constexpr int64_t perSecond = 24;
inline constexpr int64_t bandCount = 13;
inline constexpr double lowestHz = 90.0;
inline constexpr double highestHz = 7000.0;
inline constexpr int64_t fftSize = 1024;
// The 14 band edges in Hz, evenly spaced on a logarithmic scale from 90 to 7000.
const std::array<double, 14>& bandEdges();
}  // namespace CaptionLevelReadings

class CaptionLevelWindows {
 public:
  CaptionLevelWindows(double sampleRate, int64_t perSecond, bool bands);

  // One sample at full scale +-1; a reading when this sample completed a window.
  std::optional<CaptionLevelReading> add(double sample);
  // Each sample in order; the readings completed on the way.
  std::vector<CaptionLevelReading> add(std::span<const double> samples);

  // 10 x log10(meanSquare), floored at -120; -120 for zero, negative or non-finite values.
  static double db(double meanSquare);

  double sampleRate() const { return sampleRate_; }
  int64_t framesPerWindow() const { return framesPerWindow_; }

 private:
  double sampleRate_;
  int64_t framesPerWindow_;
  double sum_ = 0.0;
  int64_t count_ = 0;
  std::vector<float> ring_;
  int64_t head_ = 0;
  // Shared so that the accumulator stays a copyable value; the analyzer itself is immutable
  // after construction apart from its work arrays, which bandsDb allocates per call.
  std::shared_ptr<const CaptionBandAnalyzer> analyzer_;
};

}  // namespace quorvel
