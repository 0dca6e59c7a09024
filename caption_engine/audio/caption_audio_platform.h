// The two interfaces through which the engine gets audio. A platform lists the machine's inputs
// and makes producers; a producer delivers PCM buffers from start until stop.
//
// Threads: platform operations may be called from any thread. A producer's start and stop may be
// called from any thread, also while it delivers; onBuffer runs on the producer's own delivery
// context, one buffer at a time, never inside start and never under the producer's lock. A buffer
// whose delivery had begun when stop was called may still arrive once after stop returns.
// The receiver's onBuffer never blocks a capture producer; a file producer, which reads ahead of
// time, may be held in onBuffer until the receiver has room (or has stopped).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "caption_engine/base/caption_audio_path_event.h"
#include "caption_engine/base/caption_audio_source.h"
#include "caption_engine/base/pcm_buffer.h"

namespace quorvel {

class CaptionAudioProducer {
 public:
  using OnBuffer = std::function<void(const PcmBuffer&)>;
  using OnPath = std::function<void(const CaptionAudioPathEvent&)>;
  using Log = std::function<void(const std::string&)>;
  // The source has no more audio (a file's end), after `audioMs` of it.
  using OnEnded = std::function<void(int64_t audioMs)>;

  virtual ~CaptionAudioProducer() = default;
  // What the producer reads: the input's name or the file's last path component.
  virtual std::string name() const = 0;
  // Begins delivery. May throw CaptionAudioError; the producers of this build never do.
  virtual void start(OnBuffer onBuffer, OnPath onPath, Log log) = 0;
  // Ends delivery; never fails; a second call does nothing. Stopping an unstarted producer leaves
  // it unable to deliver.
  virtual void stop() = 0;
  // Set before start: called once, on the delivery context after the last buffer, when the
  // source runs out of audio by itself (not after stop). Capture sources never end; the default
  // ignores the callback.
  virtual void setOnEnded(OnEnded) {}
};

class CaptionAudioPlatform {
 public:
  virtual ~CaptionAudioPlatform() = default;
  // The machine's inputs in discovery order; never fails.
  virtual std::vector<CaptionAudioInput> listInputs() = 0;
  // A new, unstarted producer for the source, or throws CaptionAudioError when the source cannot
  // be opened.
  virtual std::shared_ptr<CaptionAudioProducer> makeProducer(const CaptionAudioSource& source) = 0;
};

// The machine's audio platform: the sound server's capture sources.
std::shared_ptr<CaptionAudioPlatform> makeSystemAudioPlatform();

}  // namespace quorvel
