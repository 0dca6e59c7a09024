// A plain mutual-exclusion lock that Clang's thread-safety analysis understands, so that "which
// lock guards which field" and "never call out while holding it" are checked by the compiler
// (with -Wthread-safety under Clang; the annotations vanish under other compilers).
#pragma once

#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define QUORVEL_TSA(x) __attribute__((x))
#else
#define QUORVEL_TSA(x)
#endif

#define CAPTION_CAPABILITY(x) QUORVEL_TSA(capability(x))
#define CAPTION_SCOPED_CAPABILITY QUORVEL_TSA(scoped_lockable)
#define CAPTION_GUARDED_BY(x) QUORVEL_TSA(guarded_by(x))
#define CAPTION_REQUIRES(...) QUORVEL_TSA(requires_capability(__VA_ARGS__))
#define CAPTION_EXCLUDES(...) QUORVEL_TSA(locks_excluded(__VA_ARGS__))
#define CAPTION_ACQUIRE(...) QUORVEL_TSA(acquire_capability(__VA_ARGS__))
#define CAPTION_RELEASE(...) QUORVEL_TSA(release_capability(__VA_ARGS__))
#define CAPTION_NO_THREAD_SAFETY_ANALYSIS QUORVEL_TSA(no_thread_safety_analysis)

namespace quorvel {

class CAPTION_CAPABILITY("mutex") CaptionMutex {
 public:
  void lock() CAPTION_ACQUIRE() { m_.lock(); }
  void unlock() CAPTION_RELEASE() { m_.unlock(); }

  // Waits on cv with this mutex held by the caller (released during the wait) until pred is true
  // or the deadline passes; returns pred's last value.
  template <class Clock, class Duration, class Pred>
  bool waitUntil(std::condition_variable& cv, std::chrono::time_point<Clock, Duration> deadline,
                 Pred pred) CAPTION_REQUIRES(this) {
    std::unique_lock<std::mutex> lock(m_, std::adopt_lock);
    const bool ok = cv.wait_until(lock, deadline, pred);
    lock.release();
    return ok;
  }
  // Waits on cv with this mutex held by the caller until pred is true.
  template <class Pred>
  void wait(std::condition_variable& cv, Pred pred) CAPTION_REQUIRES(this) {
    std::unique_lock<std::mutex> lock(m_, std::adopt_lock);
    cv.wait(lock, pred);
    lock.release();
  }

 private:
  std::mutex m_;
};

// Holds a CaptionMutex for a scope; unlock() ends the hold early.
class CAPTION_SCOPED_CAPABILITY CaptionMutexLock {
 public:
  explicit CaptionMutexLock(CaptionMutex& m) CAPTION_ACQUIRE(m) : m_(m) { m_.lock(); }
  ~CaptionMutexLock() CAPTION_RELEASE() {
    if (held_) m_.unlock();
  }
  void unlock() CAPTION_RELEASE() {
    held_ = false;
    m_.unlock();
  }
  CaptionMutexLock(const CaptionMutexLock&) = delete;
  CaptionMutexLock& operator=(const CaptionMutexLock&) = delete;

 private:
  CaptionMutex& m_;
  bool held_ = true;
};

}  // namespace quorvel
