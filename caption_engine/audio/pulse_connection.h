// One connection to the PulseAudio (or PipeWire) sound server on a threaded main loop of its own.
// Connecting and every wait are bounded, so a missing or hung server costs at most the timeout.
// The loop outlives the server: a connection whose server went away can connect again, to the
// same address, on the same loop thread.
//
// Threads: the server's callbacks and timers run on the loop's thread under the loop lock. Other
// threads take the loop lock (Lock) before touching the context or its streams, and wait with
// waitLocked. Destroying the connection on its own loop thread (from a callback) is allowed: a
// short-lived thread of its own then closes the context and ends and frees the loop once the
// callback has returned; whoever set callbacks on the context or its streams must clear them.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "caption_engine/audio/pulse_library.h"

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
  // The current context: the one connect made, or the latest reconnectLocked made.
  pa_context* context() const { return context_; }
  // The address the first connection reached; reconnections go to the same one.
  const std::string& server() const { return server_; }
  bool inLoopThread() const { return pulse().pa_threaded_mainloop_in_thread(loop_) != 0; }

  // Holds the loop lock for its lifetime. On the loop thread, where callbacks already run under
  // the lock, it does nothing.
  class Lock {
   public:
    explicit Lock(const PulseConnection& c)
        : loop_(pulse().pa_threaded_mainloop_in_thread(c.loop_) ? nullptr : c.loop_) {
      if (loop_) pulse().pa_threaded_mainloop_lock(loop_);
    }
    ~Lock() {
      if (loop_) pulse().pa_threaded_mainloop_unlock(loop_);
    }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    pa_threaded_mainloop* loop_;
  };

  // With the loop lock held: waits until `done` holds or `deadline` passes, and says whether it
  // holds. Whatever `done` waits for must call signal() when it changes. Not on the loop thread.
  bool waitLocked(const std::function<bool()>& done, Clock::time_point deadline);
  // From a server callback: wakes the waiters.
  void signal() { pulse().pa_threaded_mainloop_signal(loop_, 0); }

  // Runs an operation (made with the loop lock held) until it completes or `deadline` passes; a
  // late operation is cancelled so that its callback can no longer run. Takes the operation.
  bool finishLocked(pa_operation* operation, Clock::time_point deadline);

  // With the loop lock held: `handler` runs on the loop thread after every state change of the
  // current context (after the waiters are woken).
  void setStateHandlerLocked(std::function<void(pa_context_state_t)> handler);
  // With the loop lock held: closes the current context and begins connecting a new one to
  // server(), without waiting; its progress reaches the state handler. False when the attempt
  // failed at once.
  bool reconnectLocked();
  // With the loop lock held: closes the current context; no state change reaches the handler.
  void disconnectLocked();
  // Ends the loop thread, from any other thread (several may call it at once); nothing runs on
  // the loop afterwards. On the loop thread it does nothing.
  void stopLoop();

  // A one-shot timer on the loop. Arm, cancel and destroy it with the loop lock held (or after
  // stopLoop); its action runs on the loop thread under the lock.
  class Timer {
   public:
    Timer(PulseConnection& connection, std::function<void()> action);
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    void armLocked(std::chrono::milliseconds delay);
    void cancelLocked();
    bool armed() const { return armed_; }

   private:
    static void fire(pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata);
    pa_mainloop_api* api_;
    pa_time_event* event_ = nullptr;
    std::function<void()> action_;
    bool armed_ = false;
  };

 private:
  PulseConnection() = default;
  bool beginLocked(const char* server);
  static void contextStateChanged(pa_context* context, void* userdata);

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  std::string server_;
  std::function<void(pa_context_state_t)> stateHandler_;
  bool started_ = false;
  std::mutex stopLock_;  // one stopLoop at a time: the loop thread is joined once
};

}  // namespace quorvel
