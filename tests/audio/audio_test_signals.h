// Known test signals and measurements on PcmBuffers: filling a buffer from a function of time,
// reading any buffer back as doubles in [-1, 1], and the frequency and RMS of a signal.
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <numbers>
#include <vector>

#include "caption_engine/base/pcm_buffer.h"

namespace quorvel::testing {

// Writes value(channel, frameIndex) (in [-1, 1]) into every sample of the buffer and sets its
// frame length to `frames`.
inline PcmBuffer makeBuffer(const AudioFormat& format, uint32_t frames,
                            const std::function<double(uint32_t, uint64_t)>& value,
                            uint64_t firstFrame = 0) {
  PcmBuffer buffer(format, frames);
  buffer.setFrameLength(frames);
  const uint32_t stride = buffer.stride();
  for (uint32_t c = 0; c < format.channels; ++c) {
    for (uint32_t f = 0; f < frames; ++f) {
      const double v = value(c, firstFrame + f);
      const size_t at = size_t{f} * stride;
      switch (format.sampleType) {
        case SampleType::float32:
          buffer.channelData<float>(c)[at] = static_cast<float>(v);
          break;
        case SampleType::float64:
          buffer.channelData<double>(c)[at] = v;
          break;
        case SampleType::int16:
          buffer.channelData<int16_t>(c)[at] = static_cast<int16_t>(std::lround(v * 32767.0));
          break;
        case SampleType::int32:
          buffer.channelData<int32_t>(c)[at] = static_cast<int32_t>(std::llround(v * 2147483647.0));
          break;
      }
    }
  }
  return buffer;
}

// One channel of a buffer as doubles in [-1, 1].
inline std::vector<double> samples(const PcmBuffer& buffer, uint32_t channel = 0) {
  std::vector<double> out;
  out.reserve(buffer.frameLength());
  const uint32_t stride = buffer.stride();
  for (uint32_t f = 0; f < buffer.frameLength(); ++f) {
    const size_t at = size_t{f} * stride;
    switch (buffer.format().sampleType) {
      case SampleType::float32:
        out.push_back(buffer.channelData<float>(channel)[at]);
        break;
      case SampleType::float64:
        out.push_back(buffer.channelData<double>(channel)[at]);
        break;
      case SampleType::int16:
        out.push_back(buffer.channelData<int16_t>(channel)[at] / 32768.0);
        break;
      case SampleType::int32:
        out.push_back(buffer.channelData<int32_t>(channel)[at] / 2147483648.0);
        break;
    }
  }
  return out;
}

inline double rms(const std::vector<double>& x, size_t from = 0, size_t to = SIZE_MAX) {
  to = std::min(to, x.size());
  if (to <= from) return 0.0;
  double sum = 0.0;
  for (size_t i = from; i < to; ++i) sum += x[i] * x[i];
  return std::sqrt(sum / static_cast<double>(to - from));
}

// Frequency of a clean sine from its upward zero crossings, interpolated between samples.
inline double sineFrequency(const std::vector<double>& x, double rate, size_t from, size_t to) {
  to = std::min(to, x.size());
  double first = -1.0;
  double last = -1.0;
  int crossings = 0;
  for (size_t i = from + 1; i < to; ++i) {
    if (x[i - 1] < 0.0 && x[i] >= 0.0) {
      const double t = static_cast<double>(i - 1) + x[i - 1] / (x[i - 1] - x[i]);
      if (first < 0.0) first = t;
      last = t;
      ++crossings;
    }
  }
  if (crossings < 2) return 0.0;
  return (crossings - 1) * rate / (last - first);
}

inline double sine(double frequency, double amplitude, double rate, uint64_t frame) {
  return amplitude *
         std::sin(2.0 * std::numbers::pi * frequency * static_cast<double>(frame) / rate);
}

}  // namespace quorvel::testing
