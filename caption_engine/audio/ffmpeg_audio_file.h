// An audio file open for reading through FFmpeg (libavformat + libavcodec). It decodes the file's
// first audio stream and hands out its audio in the processing format: 32-bit float, one buffer
// per channel, at the file's own sample rate and channel count.
//
// Threads: one thread at a time; the object may be handed from the opening thread to a reader.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "caption_engine/audio/audio_format.h"
#include "caption_engine/audio/pcm_buffer.h"

namespace quorvel {

class FfmpegAudioFile {
 public:
  // Opens `path` as a local file. On failure returns nothing and sets `error` to FFmpeg's text
  // for what went wrong (for a directory, a text file or an undecodable stream).
  static std::unique_ptr<FfmpegAudioFile> open(const std::string& path, std::string& error);
  ~FfmpegAudioFile();
  FfmpegAudioFile(const FfmpegAudioFile&) = delete;
  FfmpegAudioFile& operator=(const FfmpegAudioFile&) = delete;

  const AudioFormat& processingFormat() const { return format_; }

  // Reads up to the buffer's capacity of frames into `buffer` (which must be in the processing
  // format) and sets its frame length. Returns false when reading failed; a frame length of 0
  // with true means the end of the file. The decoder is drained at the end, so no audio is lost.
  bool read(PcmBuffer& buffer);

 private:
  struct State;
  explicit FfmpegAudioFile(std::unique_ptr<State> state, AudioFormat format);
  std::unique_ptr<State> state_;
  AudioFormat format_;
};

}  // namespace quorvel
