// The analyzer of the pocketsphinx service: runs one decoder on its own thread over the buffers
// of an AnalyzerInputStream and turns what it hears into the transcriber's results.
//
// Utterances follow the recognizer's voice detector. While it hears speech, a changed partial
// hypothesis becomes a volatile result (throttled to one per 250 ms of audio unless the
// transcriber asks for fast results) covering the utterance from its first word to the audio fed
// so far. When speech ends, the utterance ends: its final result spans its first to its last word
// and the next utterance begins. Times are seconds of the input stream's own timeline, counted
// from the first sample fed.
//
// Threads: every public operation may be called from any thread. The decoder and the utterance
// state are guarded by one lock that the decoder thread holds while it feeds a buffer; results
// are delivered after releasing it. New contextual terms take effect between utterances: at once
// when no speech is in progress, otherwise when the current utterance ends (a failure to apply
// them then leaves the base model in use).
#pragma once

#include <memory>
#include <mutex>
#include <thread>

#include "caption_engine/runtime/speech_service.h"
#include "caption_engine/runtime/sphinx/sphinx_decoder.h"
#include "caption_engine/runtime/sphinx/sphinx_transcriber.h"
#include "caption_engine/runtime/sphinx/volatile_throttle.h"

namespace quorvel::speech {

class SphinxAnalyzer : public SpeechAnalyzer {
 public:
  static constexpr double kVolatileSpacingSeconds = 0.25;

  // Loads the model; throws SpeechServiceError when it cannot.
  SphinxAnalyzer(std::shared_ptr<SphinxTranscriber> transcriber, const SphinxModelFiles& model);
  // Stops the decoder thread; a results stream not yet ended ends.
  ~SphinxAnalyzer() override;

  void setContext(const std::vector<std::string>& terms) override;
  std::optional<AudioFormat> bestAvailableAudioFormat() override;
  void start(std::shared_ptr<AnalyzerInputStream> input) override;
  // Finishes the input stream if it is not finished yet, waits until the decoder has taken the
  // rest, ended the last utterance and ended the results stream. Throws SpeechServiceError when
  // decoding failed.
  void finalizeAndFinishThroughEndOfInput() override;

 private:
  void run(std::stop_token stop);
  // Decodes one buffer under the lock; returns the results to deliver.
  std::vector<SpeechResult> feed(const PcmBuffer& buffer);
  std::vector<SpeechResult> finishUtterance(bool atEnd);
  void applyPendingContext();
  SpeechResult makeResult(const std::vector<RecognizedWord>& words, bool isFinal) const;
  double seconds(int64_t samples) const;

  const std::shared_ptr<SphinxTranscriber> transcriber_;
  std::shared_ptr<AnalyzerInputStream> input_;

  std::mutex mutex_;
  // Guarded by mutex_:
  SphinxDecoder decoder_;
  VolatileThrottle throttle_;
  bool started_ = false;
  bool done_ = false;
  std::optional<std::string> failure_;
  int64_t samplesFed_ = 0;
  bool utteranceHasSpeech_ = false;
  int64_t utteranceSpeechStart_ = 0;
  std::string lastVolatileText_;
  std::optional<std::vector<std::string>> pendingTerms_;
  std::condition_variable doneChanged_;

  std::jthread worker_;
};

}  // namespace quorvel::speech
