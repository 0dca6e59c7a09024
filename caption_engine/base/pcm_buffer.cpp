#include "caption_engine/base/pcm_buffer.h"

#include <algorithm>

namespace quorvel {

PcmBuffer::PcmBuffer(AudioFormat format, uint32_t frameCapacity)
    : format_(format), frameCapacity_(frameCapacity) {
  const size_t sample = bytesPerSample(format_.sampleType);
  const size_t channels = std::max<uint32_t>(format_.channels, 1);
  if (format_.interleaved) {
    planes_.emplace_back(size_t{frameCapacity} * channels * sample, uint8_t{0});
  } else {
    for (size_t c = 0; c < channels; ++c)
      planes_.emplace_back(size_t{frameCapacity} * sample, uint8_t{0});
  }
}

void PcmBuffer::setFrameLength(uint32_t frames) { frameLength_ = std::min(frames, frameCapacity_); }

}  // namespace quorvel
