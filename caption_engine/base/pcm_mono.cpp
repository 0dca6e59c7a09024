#include "caption_engine/base/pcm_mono.h"

#include <algorithm>
#include <cmath>
#include <type_traits>

namespace quorvel {

namespace {

template <class In>
int16_t toInt16(In v) {
  if constexpr (std::is_same_v<In, int16_t>) {
    return v;
  } else if constexpr (std::is_same_v<In, int32_t>) {
    return static_cast<int16_t>(v >> 16);
  } else {
    if (std::isnan(v)) return 0;
    const double s = std::clamp(static_cast<double>(v), -1.0, 1.0) * 32767.0;
    return static_cast<int16_t>(std::lround(s));
  }
}

template <class In>
float toFloat(In v) {
  if constexpr (std::is_same_v<In, int16_t>) return static_cast<float>(v) / 32768.0f;
  if constexpr (std::is_same_v<In, int32_t>) return static_cast<float>(v / 2147483648.0);
  return static_cast<float>(v);
}

template <class In, class Out>
void average(const PcmBuffer& buffer, std::vector<Out>& out) {
  const uint32_t frames = buffer.frameLength();
  const uint32_t channels = buffer.format().channels;
  const uint32_t stride = buffer.stride();
  out.resize(frames);
  if (channels == 0) {
    std::fill(out.begin(), out.end(), Out{});
    return;
  }
  for (uint32_t f = 0; f < frames; ++f) {
    double sum = 0;
    for (uint32_t c = 0; c < channels; ++c) {
      const In v = buffer.channelData<In>(c)[f * stride];
      if constexpr (std::is_same_v<Out, int16_t>) {
        sum += toInt16(v);
      } else {
        sum += toFloat(v);
      }
    }
    if constexpr (std::is_same_v<Out, int16_t>) {
      out[f] = static_cast<int16_t>(std::lround(sum / channels));
    } else {
      out[f] = static_cast<float>(sum / channels);
    }
  }
}

template <class Out>
void mixDown(const PcmBuffer& buffer, std::vector<Out>& out) {
  switch (buffer.format().sampleType) {
    case SampleType::int16:
      average<int16_t>(buffer, out);
      break;
    case SampleType::int32:
      average<int32_t>(buffer, out);
      break;
    case SampleType::float32:
      average<float>(buffer, out);
      break;
    case SampleType::float64:
      average<double>(buffer, out);
      break;
  }
}

}  // namespace

void mixDownToMono(const PcmBuffer& buffer, std::vector<int16_t>& out) { mixDown(buffer, out); }
void mixDownToMono(const PcmBuffer& buffer, std::vector<float>& out) { mixDown(buffer, out); }

}  // namespace quorvel
