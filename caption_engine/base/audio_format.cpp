#include "caption_engine/base/audio_format.h"

#include <cstdio>

namespace quorvel {

size_t bytesPerSample(SampleType type) {
  switch (type) {
    case SampleType::float32:
      return 4;
    case SampleType::int16:
      return 2;
    case SampleType::int32:
      return 4;
    case SampleType::float64:
      return 8;
  }
  return 4;
}

bool AudioFormat::operator==(const AudioFormat& o) const {
  // A single channel is laid out the same way whether or not it is called interleaved.
  const bool layoutEqual = interleaved == o.interleaved || (channels == 1 && o.channels == 1);
  return sampleType == o.sampleType && sampleRate == o.sampleRate && channels == o.channels &&
         layoutEqual;
}

std::string AudioFormat::description() const {
  const char* type = "float32";
  switch (sampleType) {
    case SampleType::float32:
      type = "float32";
      break;
    case SampleType::int16:
      type = "int16";
      break;
    case SampleType::int32:
      type = "int32";
      break;
    case SampleType::float64:
      type = "float64";
      break;
  }
  char text[96];
  std::snprintf(text, sizeof text, "%g Hz, %u ch, %s, %s", sampleRate, channels, type,
                interleaved ? "interleaved" : "deinterleaved");
  return text;
}

}  // namespace quorvel
