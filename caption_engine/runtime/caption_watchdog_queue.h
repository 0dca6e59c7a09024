// The runtime's serial watchdog queue and its repeating timer. The queue is one thread running an
// Asio io_context; a timer fires its handler on that thread, first one period after start() and
// then every period, so ticks never overlap.
//
// Stop means stopped: once cancel() has returned, the handler never runs again, and a handler
// that was running when cancel() was called has finished (cancel() from inside the handler itself
// does not wait for it). A queue made "manual" never schedules anything: tests fire its timers
// themselves with fire(), which is gated exactly like a scheduled tick.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace quorvel {

class CaptionWatchdogQueue;
struct CaptionWatchdogQueueState;

class CaptionRepeatingTimer : public std::enable_shared_from_this<CaptionRepeatingTimer> {
 public:
  // Schedules the first firing one period from now (nothing for a manual queue). Does nothing
  // once cancelled.
  void start();
  // Ends the timer for good; see the header comment. Any thread; a second call does nothing.
  void cancel();
  // Runs the handler once now unless the timer is cancelled; true when it ran and is still live.
  bool fire();
  bool cancelled() const;

 private:
  friend class CaptionWatchdogQueue;
  friend struct CaptionWatchdogQueueState;
  CaptionRepeatingTimer(std::weak_ptr<CaptionWatchdogQueueState> queue,
                        std::chrono::milliseconds period, std::function<void()> handler)
      : queue_(std::move(queue)), period_(period), handler_(std::move(handler)) {}

  std::weak_ptr<CaptionWatchdogQueueState>
      queue_;  // the queue's shared state, absent for a manual queue
  std::chrono::milliseconds period_;
  std::function<void()> handler_;  // only called, never changed, after construction

  mutable std::mutex m_;
  std::condition_variable idle_;
  bool cancelled_ = false;
  bool running_ = false;
  std::thread::id runningOn_;
};

class CaptionWatchdogQueue {
 public:
  // manual: no thread and no scheduling; timers fire only through fire().
  explicit CaptionWatchdogQueue(bool manual = false);
  // Stops the thread (joined, or left to end by itself when destroyed on its own thread).
  ~CaptionWatchdogQueue();
  CaptionWatchdogQueue(const CaptionWatchdogQueue&) = delete;
  CaptionWatchdogQueue& operator=(const CaptionWatchdogQueue&) = delete;

  // A new, unstarted timer on this queue.
  std::shared_ptr<CaptionRepeatingTimer> makeTimer(std::chrono::milliseconds period,
                                                   std::function<void()> handler);

 private:
  std::shared_ptr<CaptionWatchdogQueueState> shared_;
};

}  // namespace quorvel
