#include "caption_engine/runtime/caption_event_queue.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

namespace quorvel {

struct CaptionEventQueue::State {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::function<void()>> items;  // guarded by mutex
  bool closed = false;                      // guarded by mutex

  // Takes the next callback, waiting up to `wait` for one; nothing when closed or none came.
  std::function<void()> take(std::unique_lock<std::mutex>& lock,
                             std::optional<std::chrono::milliseconds> wait) {
    auto ready = [&] { return closed || !items.empty(); };
    if (wait) {
      changed.wait_for(lock, *wait, ready);
    } else {
      changed.wait(lock, ready);
    }
    if (closed || items.empty()) return nullptr;
    std::function<void()> f = std::move(items.front());
    items.pop_front();
    return f;
  }
};

namespace {

thread_local CaptionEventQueue::State* deliveringFor = nullptr;

}  // namespace

CaptionEventQueue::CaptionEventQueue() : state_(std::make_shared<State>()) {
  // The thread keeps the state alive, so it may outlive the queue and end on its own.
  std::thread([state = state_] {
    deliveringFor = state.get();
    std::unique_lock lock(state->mutex);
    for (;;) {
      std::function<void()> f = state->take(lock, std::nullopt);
      if (!f) break;
      lock.unlock();
      f();
      f = nullptr;  // whatever the callback captured is released outside the lock
      lock.lock();
    }
  }).detach();
}

CaptionEventQueue::~CaptionEventQueue() { close(); }

void CaptionEventQueue::post(std::function<void()> callback) {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->closed) return;
    state_->items.push_back(std::move(callback));
  }
  state_->changed.notify_all();
}

void CaptionEventQueue::close() {
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard lock(state_->mutex);
    state_->closed = true;
    dropped.swap(state_->items);
  }
  state_->changed.notify_all();
}

bool CaptionEventQueue::deliverWhileWaiting(const std::function<bool()>& done,
                                            std::chrono::milliseconds recheck) {
  State* state = deliveringFor;  // kept alive by this very thread
  if (!state) return false;
  while (!done()) {
    std::function<void()> f;
    {
      std::unique_lock lock(state->mutex);
      if (state->closed) return false;
      f = state->take(lock, recheck);
    }
    if (f) f();
  }
  return true;
}

}  // namespace quorvel
