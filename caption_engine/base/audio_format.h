// A PCM audio format: sample type, rate, channel count and whether channels are interleaved in one
// buffer or kept one buffer per channel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quorvel {

enum class SampleType { float32, int16, int32, float64 };

size_t bytesPerSample(SampleType type);

struct AudioFormat {
  SampleType sampleType = SampleType::float32;
  double sampleRate = 16000.0;
  uint32_t channels = 1;
  bool interleaved = false;

  bool operator==(const AudioFormat& o) const;
  // A short text for log lines, e.g. "16000 Hz, 1 ch, int16, interleaved".
  std::string description() const;
};

}  // namespace quorvel
