#include "caption_engine/runtime/caption_audio_queue.h"

#include <algorithm>

namespace quorvel {

CaptionAudioQueue::CaptionAudioQueue(size_t capacity, WhenFull whenFull)
    : capacity_(std::max<size_t>(capacity, 1)), whenFull_(whenFull) {}

bool CaptionAudioQueue::push(const PcmBuffer& buffer) {
  {
    std::unique_lock lock(mutex_);
    if (whenFull_ == WhenFull::wait) {
      changed_.wait(lock, [&] { return closed_ || buffers_ < capacity_; });
    } else if (!closed_ && buffers_ >= capacity_) {
      // The oldest buffer makes room; marks stay where they are.
      auto oldest = std::find_if(items_.begin(), items_.end(), [](const Item& item) {
        return std::holds_alternative<PcmBuffer>(item);
      });
      items_.erase(oldest);
      --buffers_;
      ++dropped_;
    }
    if (closed_) return false;
    items_.emplace_back(buffer);
    ++buffers_;
  }
  changed_.notify_all();
  return true;
}

void CaptionAudioQueue::pushBreak(std::optional<int64_t> sourceEndedMs) {
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    // Two equal breaks in a row say no more than one.
    const BreakMark mark{sourceEndedMs};
    if (!items_.empty()) {
      const auto* last = std::get_if<BreakMark>(&items_.back());
      if (last && *last == mark) return;
    }
    items_.emplace_back(mark);
  }
  changed_.notify_all();
}

std::optional<CaptionAudioQueue::Item> CaptionAudioQueue::pop() {
  std::optional<Item> item;
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return closed_ || !items_.empty(); });
    if (items_.empty()) return std::nullopt;
    item.emplace(std::move(items_.front()));
    items_.pop_front();
    if (std::holds_alternative<PcmBuffer>(*item)) --buffers_;
  }
  changed_.notify_all();
  return item;
}

void CaptionAudioQueue::close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  changed_.notify_all();
}

void CaptionAudioQueue::cancel() {
  std::deque<Item> dropped;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    dropped.swap(items_);
    buffers_ = 0;
  }
  changed_.notify_all();
}

int64_t CaptionAudioQueue::dropped() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

}  // namespace quorvel
