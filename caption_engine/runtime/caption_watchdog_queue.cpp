#include "caption_engine/runtime/caption_watchdog_queue.h"

// Asio's handler bookkeeping uses std::atomic_thread_fence, which GCC flags under ThreadSanitizer
// (-Wtsan). Our handlers reach the queue only through asio::post, whose queue is mutex-guarded,
// so the fences carry no hand-off that ThreadSanitizer would need to see.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic ignored "-Wtsan"
#endif
#include <asio.hpp>

namespace quorvel {

// Everything the queue's thread touches. The Asio timer is used only on the queue's thread; the
// generation number tells a stale wait (of a replaced or cancelled timer) from the current one.
struct CaptionWatchdogQueueState {
  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
  asio::steady_timer timer{io};
  uint64_t generation = 0;                       // queue thread only
  std::weak_ptr<CaptionRepeatingTimer> current;  // queue thread only
  std::thread thread;

  void schedule(uint64_t gen) {
    timer.async_wait([this, gen](const asio::error_code& ec) {
      if (ec || gen != generation) return;
      auto t = current.lock();
      if (!t || !t->fire()) return;
      // Ticks missed while the queue was held up are merged into the one that just ran: the
      // next tick keeps the timer's phase and comes after now, never as a burst of catch-ups.
      auto next = timer.expiry() + t->period_;
      const auto now = asio::steady_timer::clock_type::now();
      if (next <= now) next += ((now - next) / t->period_ + 1) * t->period_;
      timer.expires_at(next);
      schedule(gen);
    });
  }

  void begin(const std::shared_ptr<CaptionRepeatingTimer>& t) {
    if (t->cancelled()) return;
    ++generation;
    current = t;
    timer.expires_after(t->period_);
    schedule(generation);
  }

  void end(const CaptionRepeatingTimer* t) {
    if (current.lock().get() != t) return;
    ++generation;
    current.reset();
    timer.cancel();
  }
};

CaptionWatchdogQueue::CaptionWatchdogQueue(bool manual) {
  if (manual) return;
  shared_ = std::make_shared<CaptionWatchdogQueueState>();
  // The thread holds the shared state, so a queue destroyed on its own thread stays valid until
  // the thread has left run().
  shared_->thread = std::thread([s = shared_] { s->io.run(); });
}

CaptionWatchdogQueue::~CaptionWatchdogQueue() {
  if (!shared_) return;
  shared_->work.reset();
  shared_->io.stop();
  if (shared_->thread.get_id() == std::this_thread::get_id()) {
    shared_->thread.detach();
  } else if (shared_->thread.joinable()) {
    shared_->thread.join();
  }
}

std::shared_ptr<CaptionRepeatingTimer> CaptionWatchdogQueue::makeTimer(
    std::chrono::milliseconds period, std::function<void()> handler) {
  return std::shared_ptr<CaptionRepeatingTimer>(
      new CaptionRepeatingTimer(shared_, period, std::move(handler)));
}

void CaptionRepeatingTimer::start() {
  if (cancelled()) return;
  auto queue = queue_.lock();
  if (!queue) return;
  asio::post(queue->io, [q = queue.get(), me = shared_from_this()] { q->begin(me); });
}

void CaptionRepeatingTimer::cancel() {
  {
    std::unique_lock lock(m_);
    if (cancelled_) return;
    cancelled_ = true;
    if (running_ && runningOn_ != std::this_thread::get_id()) {
      idle_.wait(lock, [this] { return !running_; });
    }
  }
  if (auto queue = queue_.lock()) {
    asio::post(queue->io, [q = queue.get(), me = shared_from_this()] { q->end(me.get()); });
  }
}

bool CaptionRepeatingTimer::fire() {
  {
    std::lock_guard lock(m_);
    if (cancelled_) return false;
    running_ = true;
    runningOn_ = std::this_thread::get_id();
  }
  handler_();
  std::lock_guard lock(m_);
  running_ = false;
  runningOn_ = {};
  idle_.notify_all();
  return !cancelled_;
}

bool CaptionRepeatingTimer::cancelled() const {
  std::lock_guard lock(m_);
  return cancelled_;
}

}  // namespace quorvel
