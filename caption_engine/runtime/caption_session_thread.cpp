#include "caption_engine/runtime/caption_session_thread.h"

namespace quorvel {

CaptionSessionThread::CaptionSessionThread(std::function<void(std::stop_token)> body) {
  thread_ =
      std::thread([body = std::move(body), token = stop_.get_token(), done = done_]() mutable {
        body(token);
        // What the body holds (a model, the audio queue) is released before the thread counts as
        // ended, so that whoever waited for it finds it gone.
        body = nullptr;
        {
          std::lock_guard lock(done->m);
          done->ended = true;
        }
        done->cv.notify_all();
      });
}

CaptionSessionThread::~CaptionSessionThread() {
  std::lock_guard lock(joinLock_);
  if (!thread_.joinable()) return;
  bool ended;
  {
    std::lock_guard d(done_->m);
    ended = done_->ended;
  }
  if (ended && thread_.get_id() != std::this_thread::get_id()) {
    thread_.join();
  } else {
    thread_.detach();
  }
}

bool CaptionSessionThread::waitEnded(std::chrono::milliseconds limit) {
  {
    std::unique_lock lock(done_->m);
    if (!done_->cv.wait_for(lock, limit, [&] { return done_->ended; })) return false;
  }
  std::lock_guard lock(joinLock_);
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
  return true;
}

}  // namespace quorvel
