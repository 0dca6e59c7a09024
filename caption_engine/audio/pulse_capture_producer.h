// The producer for a capture source of the sound server. Making it opens a record stream on the
// source (corked, so nothing flows yet); start uncorks it and stop closes it. Buffers come in the
// source's own format (int16, float32 or int32, interleaved, its rate and channels), which changes
// when capture moves to another source.
//
// A record stream never follows its source elsewhere by itself. The producer watches the server's
// sources (its subscription events) and moves or holds by the rules of CaptionInputFollower: a
// lost input is logged ("[captions] audio input NAME is gone; capture ended") and reported as held
// ("input_lost") or, for the default input when another is there, as a fallback; an input that
// comes back resumes or restores capture. A stream quiet for a second while its source is not
// running counts as lost until its buffers flow again. When the server itself goes away the
// producer holds and connects again to the same address 100 ms later, then after twice as long
// each time an attempt fails, up to 2 s, until stop; once connected, the same rules apply.
//
// Delivery: onBuffer, onPath and log are called on the sound server's loop thread, one call at a
// time and never concurrently with each other, in capture order. The producer keeps that one loop
// thread for its whole life, reconnections included, so the order holds across them. The one call
// made elsewhere is start's "capturing audio from" line, on the caller's thread before anything
// else can be delivered. Callbacks hold up the loop and must not block. Path events and lines
// from before start are kept (the latest 64) and delivered after it.
//
// Threads: the constructor on the caller's thread; start and stop from any thread. stop returns
// promptly (it waits at most for the callback in progress) and no callback runs after it returns;
// called from inside a callback it returns at once and no further callback follows. The producer
// may be released inside one of its own callbacks.
#pragma once

#include <memory>
#include <string>

#include "caption_engine/audio/caption_audio_platform.h"
#include "caption_engine/audio/caption_input_follower.h"
#include "caption_engine/audio/pulse_sources.h"

namespace quorvel {

class PulseCaptureProducer final : public CaptionAudioProducer {
 public:
  // Throws CaptionAudioError when the source cannot be opened.
  // `mode` says whether the source was asked for by name or as the default input.
  explicit PulseCaptureProducer(const PulseSource& source, CaptionInputFollower::Mode mode =
                                                               CaptionInputFollower::Mode::device);
  ~PulseCaptureProducer() override;

  // The label of the source the producer was made for.
  std::string name() const override { return name_; }
  void start(OnBuffer onBuffer, OnPath onPath, Log log) override;
  void stop() override;

  // The record stream's fragment size: small enough for live captions.
  static constexpr int kFragmentMs = 20;

 private:
  class Capture;

  const std::string name_;
  const std::shared_ptr<Capture> capture_;  // shared with the loop's callbacks while they run
};

}  // namespace quorvel
