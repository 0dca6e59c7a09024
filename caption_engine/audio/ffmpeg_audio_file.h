// An audio file open for reading through FFmpeg (libavformat + libavcodec). It decodes the file's
// first audio stream and hands out its audio in the processing format: 32-bit float, one buffer
// per channel, at the file's own sample rate and channel count. Only regular files are read: a
// FIFO, a socket or a device could hold a reader without bound, so it is refused before any read.
// Opening and reading may be cancelled through a stop token, which FFmpeg checks between its reads.
//
// Threads: one thread at a time; the object may be handed from the opening thread to a reader.
// A stop token given to open or read may be requested from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <stop_token>
#include <string>

#include "caption_engine/base/audio_format.h"
#include "caption_engine/base/pcm_buffer.h"

namespace quorvel {

class FfmpegAudioFile {
 public:
  // Why a file could not be opened.
  enum class Failure {
    notFound,        // nothing at the path (or it cannot be looked up)
    notRegularFile,  // a FIFO, socket, character or block device
    unreadable,      // a directory, unreadable, or not audio FFmpeg can decode
    cancelled,       // `cancel` was requested before the file was open
  };
  struct OpenError {
    Failure failure = Failure::unreadable;
    std::string reason;  // the system's or FFmpeg's text for what went wrong
  };

  // Opens `path` as a local regular file, without ever waiting on a writer or a device. On
  // failure returns nothing and fills `error`. A stop requested on `cancel` abandons the open at
  // FFmpeg's next check.
  static std::unique_ptr<FfmpegAudioFile> open(const std::string& path, OpenError& error,
                                               std::stop_token cancel = {});
  ~FfmpegAudioFile();
  FfmpegAudioFile(const FfmpegAudioFile&) = delete;
  FfmpegAudioFile& operator=(const FfmpegAudioFile&) = delete;

  const AudioFormat& processingFormat() const { return format_; }

  // Reads up to the buffer's capacity of frames into `buffer` (which must be in the processing
  // format) and sets its frame length. Returns false when reading failed or was cancelled through
  // `cancel`; a frame length of 0 with true means the end of the file. The decoder is drained at
  // the end, so no audio is lost. After a false return the file has nothing more to give.
  bool read(PcmBuffer& buffer, std::stop_token cancel = {});

 private:
  struct State;
  explicit FfmpegAudioFile(std::unique_ptr<State> state, AudioFormat format);
  std::unique_ptr<State> state_;
  AudioFormat format_;
};

}  // namespace quorvel
