// The analyzer of the pocketsphinx service: one decoder, fed synchronously by the session's
// thread, turning what it hears into the transcriber's results.
//
// Utterances follow the recognizer's voice detector. While it hears speech, a changed partial
// hypothesis becomes a volatile result (throttled to one per 250 ms of audio unless the
// transcriber asks for fast results) covering the utterance from its first word to the audio fed
// so far. When speech ends, or the caller ends the utterance, its final result spans its first
// to its last word, carries those words with their times, and the next utterance begins. Text and
// words are as a person reads them (CaptionPeopleText: sentence case for finals, "I", the terms'
// spelling). Times are seconds of the analyzer's own timeline, counted from the first sample fed.
//
// The decoder comes from the service's pool and goes back to it with the analyzer, for the next
// session to use without loading the model again.
//
// Threads: every operation may be called from any thread; one lock serialises them, so
// setContext from another thread waits at most for the buffer being decoded. New contextual
// terms are checked at once (a failure reaches the caller) and take effect between utterances:
// at once when no speech is in progress, otherwise when the current utterance ends.
#pragma once

#include <mutex>
#include <optional>

#include "caption_engine/runtime/speech_analyzer_input.h"
#include "caption_engine/runtime/speech_service.h"
#include "caption_engine/runtime/sphinx/sphinx_decoder.h"
#include "caption_engine/runtime/sphinx/sphinx_decoder_pool.h"
#include "caption_engine/runtime/sphinx/sphinx_transcriber.h"
#include "caption_engine/runtime/sphinx/volatile_throttle.h"

namespace quorvel::speech {

class SphinxAnalyzer : public SpeechAnalyzer {
 public:
  static constexpr double kVolatileSpacingSeconds = 0.25;

  // Takes a decoder of the model from the pool (loading the model when the pool keeps none);
  // throws SpeechServiceError when it cannot be loaded.
  SphinxAnalyzer(std::shared_ptr<SphinxTranscriber> transcriber, const SphinxModelFiles& model,
                 std::shared_ptr<SphinxDecoderPool> pool);
  ~SphinxAnalyzer() override;

  void setContext(const std::vector<std::string>& terms) override;
  std::optional<AudioFormat> bestAvailableAudioFormat() override;
  void start() override;
  std::vector<SpeechResult> analyze(const PcmBuffer& buffer) override;
  std::vector<SpeechResult> endUtterance() override;
  std::vector<SpeechResult> finish() override;

 private:
  // Each of these runs with mutex_ held.
  std::vector<SpeechResult> feed(const int16_t* samples, size_t count);
  std::vector<SpeechResult> finishUtterance(bool atEnd);
  void applyPendingContext();
  SpeechResult makeResult(const std::vector<RecognizedWord>& words, bool isFinal) const;
  double seconds(int64_t samples) const;
  // Runs a step that may fail: a failure ends the stream for good.

  const std::shared_ptr<SphinxTranscriber> transcriber_;
  const std::shared_ptr<SphinxDecoderPool> pool_;

  std::mutex mutex_;
  // Guarded by mutex_:
  SphinxDecoderPool::Lease lease_;
  SphinxDecoder& decoder_;  // lease_'s
  VolatileThrottle throttle_;
  SpeechAnalyzerInput input_;
  int64_t samplesFed_ = 0;
  bool utteranceHasSpeech_ = false;
  int64_t utteranceSpeechStart_ = 0;
  std::string lastVolatileText_;
  std::optional<SphinxPreparedContext> pendingContext_;
  std::vector<std::string> terms_;  // the latest terms, for the spelling of the text
  std::vector<int16_t> scratch_;    // mono 16-bit samples of a buffer in another format
};

}  // namespace quorvel::speech
