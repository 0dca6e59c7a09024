// The transcriber of the pocketsphinx service: a locale and the options its results are made
// with. One analyzer may be made per transcriber.
//
// Threads: any thread.
#pragma once

#include <atomic>
#include <string>

#include "caption_engine/runtime/speech_service.h"

namespace quorvel::speech {

class SphinxTranscriber : public SpeechTranscriber {
 public:
  SphinxTranscriber(std::string locale, TranscriberOptions options)
      : locale_(std::move(locale)), options_(options) {}

  const std::string& locale() const override { return locale_; }
  const TranscriberOptions& options() const override { return options_; }

  // True the first time: the analyzer made for this transcriber claims it.
  bool claim() { return !claimed_.exchange(true); }

 private:
  const std::string locale_;
  const TranscriberOptions options_;
  std::atomic<bool> claimed_{false};
};

}  // namespace quorvel::speech
