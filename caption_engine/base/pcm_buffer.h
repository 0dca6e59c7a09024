// A PCM buffer that carries its own format: a frame capacity, a frame length, and the sample data,
// either one interleaved plane or one plane per channel. A value type: copies copy the samples.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "caption_engine/base/audio_format.h"

namespace quorvel {

class PcmBuffer {
 public:
  PcmBuffer(AudioFormat format, uint32_t frameCapacity);

  const AudioFormat& format() const { return format_; }
  uint32_t frameCapacity() const { return frameCapacity_; }
  uint32_t frameLength() const { return frameLength_; }
  // Clamped to the capacity.
  void setFrameLength(uint32_t frames);

  // Number of planes: 1 when interleaved, one per channel otherwise.
  uint32_t planeCount() const { return static_cast<uint32_t>(planes_.size()); }
  // Samples between consecutive frames of one channel: the channel count when interleaved, else 1.
  uint32_t stride() const { return format_.interleaved ? format_.channels : 1; }

  // Raw bytes of a plane.
  uint8_t* planeData(uint32_t plane) { return planes_[plane].data(); }
  const uint8_t* planeData(uint32_t plane) const { return planes_[plane].data(); }

  // Typed channel data, or nullptr when the buffer's sample type is not T. For an interleaved
  // buffer every channel points into the one plane, offset by its channel index.
  template <class T>
  T* channelData(uint32_t channel) {
    return const_cast<T*>(static_cast<const PcmBuffer*>(this)->channelData<T>(channel));
  }
  template <class T>
  const T* channelData(uint32_t channel) const {
    if (!holds<T>() || channel >= format_.channels) return nullptr;
    if (format_.interleaved) return reinterpret_cast<const T*>(planes_[0].data()) + channel;
    return reinterpret_cast<const T*>(planes_[channel].data());
  }

  template <class T>
  bool holds() const {
    switch (format_.sampleType) {
      case SampleType::float32:
        return std::is_same_v<T, float>;
      case SampleType::int16:
        return std::is_same_v<T, int16_t>;
      case SampleType::int32:
        return std::is_same_v<T, int32_t>;
      case SampleType::float64:
        return std::is_same_v<T, double>;
    }
    return false;
  }

 private:
  AudioFormat format_;
  uint32_t frameCapacity_;
  uint32_t frameLength_ = 0;
  std::vector<std::vector<uint8_t>> planes_;
};

}  // namespace quorvel
