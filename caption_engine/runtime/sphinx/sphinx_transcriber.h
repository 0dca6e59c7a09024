// The transcriber of the pocketsphinx service: a locale, its options and the results stream its
// analyzer fills.
//
// Threads: the analyzer's decoder thread delivers, finishes or fails the stream; one consumer
// reads it with nextResult() from any thread. One analyzer may be made per transcriber.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "caption_engine/runtime/speech_service.h"

namespace quorvel::speech {

class SphinxTranscriber : public SpeechTranscriber {
 public:
  SphinxTranscriber(std::string locale, TranscriberOptions options);

  const std::string& locale() const override { return locale_; }
  const TranscriberOptions& options() const override { return options_; }
  // Results delivered before the stream ended or failed are read first; then nothing (ended) or
  // SpeechServiceError (failed).
  std::optional<SpeechResult> nextResult(std::stop_token stop) override;

  // Analyzer side.
  bool claim() { return !claimed_.exchange(true); }
  void deliver(std::vector<SpeechResult> results);
  void finish();
  void fail(const std::string& message);

 private:
  const std::string locale_;
  const TranscriberOptions options_;
  std::atomic<bool> claimed_{false};
  std::mutex mutex_;
  std::condition_variable_any ready_;
  std::deque<SpeechResult> queue_;  // guarded by mutex_
  bool ended_ = false;              // guarded by mutex_
  std::optional<std::string> failure_;  // guarded by mutex_
};

}  // namespace quorvel::speech
