// The bounded hand-off between a session's audio producer and its session thread. When it is
// full, a file producer is held back until there is room (so the recognizer's pace sets the pace
// of decoding and memory stays bounded whatever the file's length), while a capture producer,
// which must never be held up, makes room by dropping the oldest buffer. Besides buffers the
// queue carries marks where the audio broke off (an input lost, a file ended): the session
// thread closes the utterance in progress there. Marks are never dropped.
//
// Threads: push from the producer's delivery context, pop from the one session thread; close
// and cancel from any thread. A push held back on a full queue returns when there is room or
// the queue is closed.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <variant>

#include "caption_engine/base/pcm_buffer.h"

namespace quorvel {

class CaptionAudioQueue {
 public:
  enum class WhenFull { wait, dropOldest };
  struct BreakMark {
    // Present when the break is the source's end, with the audio it delivered.
    std::optional<int64_t> sourceEndedMs;
    bool operator==(const BreakMark&) const = default;
  };
  using Item = std::variant<PcmBuffer, BreakMark>;

  // capacity: how many buffers may wait (at least 1).
  CaptionAudioQueue(size_t capacity, WhenFull whenFull);

  // False once the queue is closed: the buffer is dropped.
  bool push(const PcmBuffer& buffer);
  void pushBreak(std::optional<int64_t> sourceEndedMs = std::nullopt);

  // The next item, waiting for one; nothing once the queue is closed and drained, or cancelled.
  std::optional<Item> pop();

  // No more items are accepted; what is queued is still handed out.
  void close();
  // Closes and drops what is queued: pop ends at once.
  void cancel();

  // Buffers dropped to make room so far.
  int64_t dropped() const;

 private:
  const size_t capacity_;
  const WhenFull whenFull_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Item> items_;  // guarded by mutex_
  size_t buffers_ = 0;      // buffers among items_; guarded by mutex_
  bool closed_ = false;     // guarded by mutex_
  int64_t dropped_ = 0;     // guarded by mutex_
};

}  // namespace quorvel
