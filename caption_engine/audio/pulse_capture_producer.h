// The producer for a capture source of the sound server. Making it opens a record stream on the
// source (corked, so nothing flows yet); start uncorks it and stop closes it. Buffers come in the
// source's own format (int16, float32 or int32, interleaved, its rate and channels); the record
// stream does not follow its source elsewhere, so when the source goes away capture ends with a
// log line instead of silently recording something else.
//
// Threads: constructor on the caller's thread; start and stop from any thread. The server's loop
// thread only copies audio into a queue; onBuffer and log run on the producer's own delivery
// thread, one call at a time, never under a lock. A buffer taken off the queue just before stop
// may still reach onBuffer once after stop returns.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "caption_engine/audio/caption_audio_platform.h"
#include "caption_engine/audio/pulse_sources.h"

struct pa_stream;

namespace quorvel {

class PulseConnection;

class PulseCaptureProducer final : public CaptionAudioProducer {
 public:
  // Throws CaptionRuntimeFailure (captionsAudioUnavailable) when the source cannot be opened.
  explicit PulseCaptureProducer(const PulseSource& source);
  ~PulseCaptureProducer() override;

  std::string name() const override { return name_; }
  void start(OnBuffer onBuffer, OnPath onPath, Log log) override;
  void stop() override;

  // The record stream's fragment size: small enough for live captions.
  static constexpr int kFragmentMs = 20;

 private:
  struct Delivery;

  const std::string name_;
  std::shared_ptr<Delivery> delivery_;         // shared with the delivery thread
  std::mutex lock_;                            // guards the three fields below
  std::shared_ptr<PulseConnection> connection_;  // present from construction until stop
  pa_stream* stream_ = nullptr;                // present from construction until stop
  std::jthread thread_;                        // the delivery thread, from start
};

}  // namespace quorvel
