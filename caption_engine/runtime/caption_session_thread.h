// A session's own thread: it converts, meters and recognizes the session's audio. A stop waits
// (bounded) for it to end by itself once its input is finished; a failed start cancels it first.
// Its body gets a stop token that cancel() triggers.
//
// Threads: any thread may cancel or wait. Destroying the handle while the thread still runs
// leaves the thread to end by itself (it holds everything it uses), so a handle released on the
// session thread itself, or after a bounded wait ran out, never blocks or joins itself.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>

namespace quorvel {

class CaptionSessionThread {
 public:
  explicit CaptionSessionThread(std::function<void(std::stop_token)> body);
  ~CaptionSessionThread();
  CaptionSessionThread(const CaptionSessionThread&) = delete;
  CaptionSessionThread& operator=(const CaptionSessionThread&) = delete;

  void cancel() { stop_.request_stop(); }
  // True when the body has returned within the limit.
  bool waitEnded(std::chrono::milliseconds limit);

 private:
  struct Done {
    std::mutex m;
    std::condition_variable cv;
    bool ended = false;
  };
  std::stop_source stop_;
  std::shared_ptr<Done> done_ = std::make_shared<Done>();
  std::mutex joinLock_;
  std::thread thread_;  // guarded by joinLock_ once started
};

}  // namespace quorvel
