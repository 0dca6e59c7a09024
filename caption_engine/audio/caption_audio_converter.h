// Converts producer buffers into one target format (the analyzer's). One conversion context is
// kept across buffers while the input format stays the same and made anew when it changes, so a
// resampler's filter state carries over from buffer to buffer.
//
// Not thread-safe: the owner serialises calls (the runtime does so under its I/O lock).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "caption_engine/base/audio_format.h"
#include "caption_engine/base/pcm_buffer.h"

namespace quorvel {

class CaptionAudioConverter {
 public:
  enum class Status {
    converted,        // buffer holds the result; it may hold 0 frames
    noConverter,      // no context could be made from the input format to the target
    noOutputBuffer,   // the output capacity is out of range or could not be allocated
    conversionError,  // the conversion itself failed; the buffer is dropped
  };
  struct Result {
    Status status = Status::conversionError;
    std::optional<PcmBuffer> buffer;
  };

  explicit CaptionAudioConverter(AudioFormat target);
  ~CaptionAudioConverter();
  CaptionAudioConverter(const CaptionAudioConverter&) = delete;
  CaptionAudioConverter& operator=(const CaptionAudioConverter&) = delete;

  const AudioFormat& target() const { return target_; }

  // Output capacity for a buffer: rate ratio x frames, truncated, + 1024; nothing when the input
  // rate is not positive or the result does not fit in 32 bits.
  static std::optional<uint32_t> outputCapacity(double inRate, double outRate, uint32_t frames);

  // Converts one buffer. Equal sample rates convert in one pass; different rates pull the buffer
  // through the resampler without flushing it, so its state carries over to the next buffer.
  Result convert(const PcmBuffer& input);
  // Flushes what the resampler still holds (at the end of a stream).
  Result flush();

  // How many conversion contexts have been made so far (one per input-format change).
  int contextsMade() const { return contextsMade_; }

 private:
  struct Context;
  AudioFormat target_;
  std::optional<AudioFormat> contextInput_;
  std::unique_ptr<Context> context_;
  int contextsMade_ = 0;
};

}  // namespace quorvel
