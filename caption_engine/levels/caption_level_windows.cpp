#include "caption_engine/levels/caption_level_windows.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace quorvel {

namespace CaptionLevelReadings {

const std::array<double, 14>& bandEdges() {
  static const std::array<double, 14> edges = [] {
    std::array<double, 14> e{};
    const double ratio = highestHz / lowestHz;
    e[0] = lowestHz;
    for (int j = 1; j <= 13; ++j) e[j] = lowestHz * std::pow(ratio, static_cast<double>(j) / 13.0);
    return e;
  }();
  return edges;
}

}  // namespace CaptionLevelReadings

namespace {
constexpr size_t kRingSize = static_cast<size_t>(CaptionLevelReadings::fftSize);
}  // namespace

CaptionLevelWindows::CaptionLevelWindows(double sampleRate, int64_t perSecond, bool bands)
    : sampleRate_(sampleRate), ring_(kRingSize, 0.0f) {
  const double rate = sampleRate > 0 && std::isfinite(sampleRate) ? sampleRate : 16000.0;
  const int64_t per = perSecond > 1 ? perSecond : 1;
  // Rounded half away from zero; kept within the 64-bit range for absurd rates.
  const double frames = std::round(rate / static_cast<double>(per));
  framesPerWindow_ = frames >= 9.0e18 ? int64_t{9'000'000'000'000'000'000}
                                      : std::max<int64_t>(static_cast<int64_t>(frames), 1);
  if (bands) {
    analyzer_ = std::make_shared<const CaptionBandAnalyzer>(rate, CaptionLevelReadings::fftSize);
  }
}

double CaptionLevelWindows::db(double meanSquare) {
  if (!(meanSquare > 0) || !std::isfinite(meanSquare)) return -120.0;
  return std::max(10.0 * std::log10(meanSquare), -120.0);
}

std::optional<CaptionLevelReading> CaptionLevelWindows::add(double sample) {
  if (!std::isfinite(sample)) sample = 0.0;
  sum_ += sample * sample;
  count_ += 1;
  // Narrowed to float for the band analysis; clamped first so that the narrowing is defined.
  ring_[static_cast<size_t>(head_)] =
      static_cast<float>(std::clamp(sample, -double{FLT_MAX}, double{FLT_MAX}));
  head_ = (head_ + 1) % static_cast<int64_t>(kRingSize);
  if (count_ < framesPerWindow_) return std::nullopt;

  CaptionLevelReading reading;
  reading.levelDb = db(sum_ / static_cast<double>(count_));
  sum_ = 0.0;
  count_ = 0;
  if (analyzer_) {
    // Oldest first: ring[head…end) then ring[0…head).
    std::vector<float> ordered;
    ordered.reserve(kRingSize);
    ordered.insert(ordered.end(), ring_.begin() + head_, ring_.end());
    ordered.insert(ordered.end(), ring_.begin(), ring_.begin() + head_);
    reading.bandsDb = analyzer_->bandsDb(ordered);
  }
  return reading;
}

std::vector<CaptionLevelReading> CaptionLevelWindows::add(std::span<const double> samples) {
  std::vector<CaptionLevelReading> readings;
  for (double s : samples) {
    if (auto r = add(s)) readings.push_back(std::move(*r));
  }
  return readings;
}

}  // namespace quorvel
