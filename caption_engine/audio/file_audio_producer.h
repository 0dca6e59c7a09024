// The producer for a file source: opens an audio file when it is made and, once started, reads it
// in chunks of a tenth of a second (in the file's processing format: float32, one buffer per
// channel, the file's own rate and channels) and hands each chunk to onBuffer, at real-time pace
// or as fast as it decodes. Only a regular file is accepted, so opening never waits on a writer or
// a device.
//
// Threads: the constructor runs on the caller's thread; the stop token it takes may be requested
// from any thread. start and stop may be called from any thread; they touch only the feed handle,
// under the producer's lock. onBuffer and log run on the producer's own feed thread, one call at a
// time, never under the lock. stop does not wait: it interrupts a read in flight, and at most one
// chunk read before the stop was seen may still be delivered after it returns. When onBuffer
// blocks, the feed ends as soon as it returns.
#pragma once

#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

#include "caption_engine/audio/caption_audio_platform.h"

namespace quorvel {

class FfmpegAudioFile;

class FileAudioProducer final : public CaptionAudioProducer {
 public:
  // Opens the file. Throws CaptionAudioError (context {"path"}) when nothing exists at the path,
  // when it is not a regular file (a FIFO, socket or device), when it cannot be opened as audio, or
  // when `cancel` is requested before it is open (the start it belongs to was stopped; the caller
  // then reports its own cancellation rather than this failure).
  FileAudioProducer(const std::string& path, bool paced, std::stop_token cancel = {});
  // Ends the feed and waits for its thread, unless the last reference goes on that thread.
  ~FileAudioProducer() override;

  std::string name() const override { return name_; }
  void start(OnBuffer onBuffer, OnPath onPath, Log log) override;
  void stop() override;
  void setOnEnded(OnEnded onEnded) override;

  // The last path component of a path, as a file's name is shown: "/tmp/talk.wav" -> "talk.wav".
  static std::string lastPathComponent(const std::string& path);

 private:
  static void feed(std::stop_token stop, FfmpegAudioFile& file, bool paced,
                   const OnBuffer& onBuffer, const Log& log, const OnEnded& onEnded);

  const std::string name_;
  const bool paced_;
  std::mutex lock_;
  std::unique_ptr<FfmpegAudioFile> file_;  // guarded by lock_; moves to the feed at start
  std::jthread task_;                      // guarded by lock_
  bool stopped_ = false;                   // guarded by lock_
  OnEnded onEnded_;                        // guarded by lock_; moves to the feed at start
};

}  // namespace quorvel
