// Turns a single-completion asynchronous call into a blocking one: pass completion() to the call,
// then wait() for the value. The completion may run on any thread, also synchronously inside the
// call; a second call of it is ignored. A wait made inside a runtime callback (on the runtime's
// event thread, where the completion itself will be delivered) delivers the callbacks queued
// before the completion while it waits, so a callback may wait for any engine operation.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "caption_engine/runtime/caption_event_queue.h"

namespace quorvel {

template <class T>
class CaptionCompletionWait {
 public:
  CaptionCompletionWait() : state_(std::make_shared<State>()) {}

  std::function<void(T)> completion() const {
    return [state = state_](T value) {
      {
        std::lock_guard guard(state->mutex);
        if (state->value) return;
        state->value.emplace(std::move(value));
      }
      state->done.notify_all();
    };
  }

  T wait() {
    CaptionEventQueue::deliverWhileWaiting([&] {
      std::lock_guard guard(state_->mutex);
      return state_->value.has_value();
    });
    std::unique_lock guard(state_->mutex);
    state_->done.wait(guard, [&] { return state_->value.has_value(); });
    return std::move(*state_->value);
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable done;
    std::optional<T> value;
  };
  std::shared_ptr<State> state_;
};

}  // namespace quorvel
