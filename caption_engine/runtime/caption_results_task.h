// The thread that reads a session's transcription results. A stop waits for it to end by itself;
// a failed start cancels it first. Its body gets a stop token that cancel() triggers.
//
// Threads: any thread may cancel or wait. Destroying the handle while the thread still runs
// leaves the thread to end by itself (it holds everything it uses), so a handle released on the
// results thread itself, or after a bounded wait ran out, never blocks or joins itself.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>

namespace quorvel {

class CaptionResultsTask {
 public:
  explicit CaptionResultsTask(std::function<void(std::stop_token)> body);
  ~CaptionResultsTask();
  CaptionResultsTask(const CaptionResultsTask&) = delete;
  CaptionResultsTask& operator=(const CaptionResultsTask&) = delete;

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
