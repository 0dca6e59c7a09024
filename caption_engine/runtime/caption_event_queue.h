// Where a runtime's callbacks run: events and completions are posted here and called one at a
// time, in the order they were posted, on a delivery thread of the queue's own. Nothing that
// tears a session down ever waits for this thread, so a callback may call any engine operation,
// stop included, and a callback that blocks delays only the callbacks after it.
//
// Threads: post from any thread. A caller on the delivery thread (that is, inside a callback)
// that must wait for something the queue will deliver waits with deliverWhileWaiting, which
// delivers the queued callbacks in order while it waits. close() is for the owner's destructor: it
// drops what has not been delivered yet and lets the thread end by itself; it never joins it.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace quorvel {

class CaptionEventQueue {
 public:
  CaptionEventQueue();
  ~CaptionEventQueue();  // closes
  CaptionEventQueue(const CaptionEventQueue&) = delete;
  CaptionEventQueue& operator=(const CaptionEventQueue&) = delete;

  void post(std::function<void()> callback);
  void close();

  // On a queue's delivery thread (inside a callback): delivers that queue's next callbacks, in
  // order, until done() holds, and returns true. done is checked after each callback and at
  // least every `recheck` while nothing is queued (for answers that come from another thread).
  // Returns false at once on any other thread, and as soon as the queue is closed.
  static bool deliverWhileWaiting(
      const std::function<bool()>& done,
      std::chrono::milliseconds recheck = std::chrono::milliseconds(50));

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace quorvel
