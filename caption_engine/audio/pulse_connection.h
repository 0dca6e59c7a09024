// One connection to the PulseAudio (or PipeWire) sound server on a threaded main loop of its own.
// Connecting and every wait are bounded, so a missing or hung server costs at most the timeout.
//
// Threads: the server's callbacks run on the loop's thread under the loop lock. Other threads take
// the loop lock (Lock) before touching the context or its streams, and wait with waitLocked.
// The connection must be destroyed on a thread other than its loop's.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <pulse/pulseaudio.h>

namespace quorvel {

class PulseConnection {
 public:
  using Clock = std::chrono::steady_clock;

  // Connects within `timeout`. Nothing when no server answers; `error` then says why.
  static std::unique_ptr<PulseConnection> connect(std::chrono::milliseconds timeout,
                                                  std::string& error);
  ~PulseConnection();
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  pa_threaded_mainloop* loop() const { return loop_; }
  pa_context* context() const { return context_; }

  // Holds the loop lock for its lifetime.
  class Lock {
   public:
    explicit Lock(const PulseConnection& c) : loop_(c.loop_) { pa_threaded_mainloop_lock(loop_); }
    ~Lock() { pa_threaded_mainloop_unlock(loop_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    pa_threaded_mainloop* loop_;
  };

  // With the loop lock held: waits until `done` holds or `deadline` passes, and says whether it
  // holds. Whatever `done` waits for must call signal() when it changes.
  bool waitLocked(const std::function<bool()>& done, Clock::time_point deadline);
  // From a server callback: wakes the waiters.
  void signal() { pa_threaded_mainloop_signal(loop_, 0); }

  // Runs an operation (made with the loop lock held) until it completes or `deadline` passes; a
  // late operation is cancelled so that its callback can no longer run. Takes the operation.
  bool finishLocked(pa_operation* operation, Clock::time_point deadline);

 private:
  PulseConnection() = default;
  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  bool started_ = false;
};

}  // namespace quorvel
