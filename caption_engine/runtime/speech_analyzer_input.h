// Where an analyzer's input is in its life: started once, fed until it is finished, and failed for
// good at its first failure (every later call answers that failure again). Both recognizers'
// analyzers keep one.
//
// Threads: not thread-safe; the analyzer calls it under its own lock.
#pragma once

#include <optional>
#include <string>

#include "caption_engine/runtime/speech_service.h"

namespace quorvel::speech {

class SpeechAnalyzerInput {
 public:
  // Runs `open` and counts the input as started; throws SpeechServiceError when it already is.
  template <class F>
  void start(F&& open) {
    if (started_) throw SpeechServiceError("the analyzer is already running");
    open();
    started_ = true;
  }

  // Runs one step on the input: throws SpeechServiceError when the input is not open (not
  // started, finished, or failed before), and remembers the failure of a step that throws one.
  template <class F>
  auto guarded(F&& step) -> decltype(step()) {
    if (failure_) throw SpeechServiceError(*failure_);
    if (!started_) throw SpeechServiceError("the analyzer has not been started");
    if (finished_) throw SpeechServiceError("the analyzer's input has ended");
    try {
      return step();
    } catch (const SpeechServiceError& e) {
      failure_ = e.what();
      throw;
    }
  }

  void finish() { finished_ = true; }
  // Started, not finished and not failed.
  bool open() const { return started_ && !finished_ && !failure_; }
  bool failed() const { return failure_.has_value(); }

 private:
  bool started_ = false;
  bool finished_ = false;
  std::optional<std::string> failure_;
};

}  // namespace quorvel::speech
