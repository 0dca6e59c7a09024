#include "caption_engine/runtime/speech_service.h"

namespace quorvel::speech {

void AnalyzerInputStream::yield(PcmBuffer buffer) {
  {
    std::lock_guard lock(mutex_);
    if (finished_) return;
    queue_.push_back(std::move(buffer));
  }
  ready_.notify_all();
}

void AnalyzerInputStream::finish() {
  {
    std::lock_guard lock(mutex_);
    finished_ = true;
  }
  ready_.notify_all();
}

bool AnalyzerInputStream::finished() const {
  std::lock_guard lock(mutex_);
  return finished_;
}

std::optional<PcmBuffer> AnalyzerInputStream::next(std::stop_token stop) {
  std::unique_lock lock(mutex_);
  ready_.wait(lock, stop, [this] { return !queue_.empty() || finished_; });
  if (queue_.empty()) return std::nullopt;
  PcmBuffer b = std::move(queue_.front());
  queue_.pop_front();
  return b;
}

}  // namespace quorvel::speech
