#include "caption_engine/runtime/sphinx/sphinx_transcriber.h"

namespace quorvel::speech {

SphinxTranscriber::SphinxTranscriber(std::string locale, TranscriberOptions options)
    : locale_(std::move(locale)), options_(options) {}

std::optional<SpeechResult> SphinxTranscriber::nextResult(std::stop_token stop) {
  std::unique_lock lock(mutex_);
  ready_.wait(lock, stop, [this] { return !queue_.empty() || ended_; });
  if (!queue_.empty()) {
    SpeechResult r = std::move(queue_.front());
    queue_.pop_front();
    return r;
  }
  if (failure_) throw SpeechServiceError(*failure_);
  return std::nullopt;
}

void SphinxTranscriber::deliver(std::vector<SpeechResult> results) {
  if (results.empty()) return;
  {
    std::lock_guard lock(mutex_);
    if (ended_) return;
    for (auto& r : results) queue_.push_back(std::move(r));
  }
  ready_.notify_all();
}

void SphinxTranscriber::finish() {
  {
    std::lock_guard lock(mutex_);
    ended_ = true;
  }
  ready_.notify_all();
}

void SphinxTranscriber::fail(const std::string& message) {
  {
    std::lock_guard lock(mutex_);
    if (ended_) return;
    ended_ = true;
    failure_ = message;
  }
  ready_.notify_all();
}

}  // namespace quorvel::speech
