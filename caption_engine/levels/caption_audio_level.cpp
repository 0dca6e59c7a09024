#include "caption_engine/levels/caption_audio_level.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace quorvel::CaptionAudioLevel {
namespace {

constexpr double kFloorDb = -120.0;
constexpr uint32_t kThinTarget = 256;

inline double scaled(float s) { return static_cast<double>(s); }
inline double scaled(int16_t s) { return static_cast<double>(s) / 32768.0; }
inline double scaled(int32_t s) { return static_cast<double>(s) / 2147483648.0; }

// Calls f with the first channel's data and stride of the first measurable sample type; returns
// false when the buffer holds none of them.
template <class F>
bool withFirstChannel(const PcmBuffer& buffer, F&& f) {
  const size_t stride = std::max<uint32_t>(buffer.stride(), 1);
  if (const float* p = buffer.channelData<float>(0)) return f(p, stride), true;
  if (const int16_t* p = buffer.channelData<int16_t>(0)) return f(p, stride), true;
  if (const int32_t* p = buffer.channelData<int32_t>(0)) return f(p, stride), true;
  return false;
}

}  // namespace

std::optional<double> rmsDb(const PcmBuffer& buffer) {
  const uint32_t n = buffer.frameLength();
  if (n == 0) return std::nullopt;
  const uint32_t step = n >= kThinTarget ? n / kThinTarget : 1;

  double sum = 0.0;
  uint64_t count = 0;
  const bool measurable = withFirstChannel(buffer, [&](const auto* data, size_t stride) {
    for (uint32_t k = 0; k < n; k += step) {
      const double v = scaled(data[size_t{k} * stride]);
      sum += v * v;
      ++count;
      if (n - k <= step) break;  // the next k would reach past the buffer (and could wrap)
    }
  });
  if (!measurable || count == 0) return std::nullopt;

  const double meanSquare = sum / static_cast<double>(count);
  // Digital silence, and float samples that are infinite or not a number, read as the floor:
  // neither is a level a meter or the silence rule can use.
  if (!(meanSquare > 0) || !std::isfinite(meanSquare)) return kFloorDb;
  return std::max(20.0 * std::log10(std::sqrt(meanSquare)), kFloorDb);
}

std::vector<CaptionLevelReading> readings(const PcmBuffer& buffer, CaptionLevelWindows& windows) {
  std::vector<CaptionLevelReading> out;
  const uint32_t n = buffer.frameLength();
  if (n == 0) return out;
  withFirstChannel(buffer, [&](const auto* data, size_t stride) {
    for (uint32_t k = 0; k < n; ++k) {
      if (auto r = windows.add(scaled(data[size_t{k} * stride]))) out.push_back(std::move(*r));
    }
  });
  return out;
}

}  // namespace quorvel::CaptionAudioLevel
