// When a changed partial hypothesis may be reported as a volatile result. Time is audio time in
// samples of the analyzer's input, so the rule is independent of how fast audio arrives.
//
// Fast: every change is reported. Otherwise a change is reported only when at least
// `minSpacingSamples` of audio have passed since the last reported volatile of the utterance (a
// change held back is reported at the first chunk where the spacing allows). A final result
// resets the spacing: the next utterance's first partial is reported at once.
#pragma once

#include <cstdint>
#include <optional>

namespace quorvel::speech {

class VolatileThrottle {
 public:
  VolatileThrottle(bool fast, int64_t minSpacingSamples)
      : fast_(fast), minSpacing_(minSpacingSamples) {}

  // Whether a volatile result at this audio position may be reported now; records it if so.
  bool admit(int64_t atSample) {
    if (!fast_ && lastAt_ && atSample - *lastAt_ < minSpacing_) return false;
    lastAt_ = atSample;
    return true;
  }
  void noteFinal() { lastAt_.reset(); }

 private:
  bool fast_;
  int64_t minSpacing_;
  std::optional<int64_t> lastAt_;
};

}  // namespace quorvel::speech
