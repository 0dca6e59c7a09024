// The helper process: announces itself with a hello event carrying the caption capabilities,
// reads commands from standard input on a reader thread with a 4 MiB stack, and parks the main
// thread until an exit fires. At the end of input it stops any running session and exits with
// status 0 when that stop completes, or 10 seconds after the end of input at the latest.
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "helper/caption_engine_bridge.h"
#include "helper/caption_wire.h"
#include "helper/command_dispatcher.h"
#include "helper/command_reader.h"
#include "helper/wire.h"

namespace {

using namespace quorvel;
using namespace quorvel::helper;

constexpr int64_t kCapabilityWaitMs = 2000;
constexpr size_t kReaderStackBytes = 4 * 1024 * 1024;
constexpr std::chrono::seconds kFallbackExitDelay{10};
// Half to send what is queued, half to complete a line then half written.
constexpr std::chrono::milliseconds kExitFlushTime{1000};

// The process's way out: an exit request, or the fallback deadline armed at end of input.
// Any thread may request; only the main thread waits and exits.
class ExitLatch {
 public:
  void request(int status) {
    {
      std::lock_guard lock(mutex_);
      if (!status_) status_ = status;
    }
    changed_.notify_all();
  }

  void armFallback(std::chrono::steady_clock::duration delay) {
    {
      std::lock_guard lock(mutex_);
      if (!deadline_) deadline_ = std::chrono::steady_clock::now() + delay;
    }
    changed_.notify_all();
  }

  // Blocks until an exit is requested or the fallback deadline passes; returns the status.
  int wait() {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (status_) return *status_;
      if (deadline_) {
        if (changed_.wait_until(lock, *deadline_) == std::cv_status::timeout && !status_) return 0;
      } else {
        changed_.wait(lock);
      }
    }
  }

  // At most `cap`, and no more than is left before the fallback deadline, if one is armed.
  std::chrono::milliseconds timeLeft(std::chrono::milliseconds cap) {
    std::lock_guard lock(mutex_);
    if (!deadline_) return cap;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        *deadline_ - std::chrono::steady_clock::now());
    return std::clamp(left, std::chrono::milliseconds(0), cap);
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<int> status_;
  std::optional<std::chrono::steady_clock::time_point> deadline_;
};

ExitLatch exitLatch;
pthread_t stdinThread;

// A descriptor among 0, 1 and 2 that the host left closed would be taken by the next file anyone
// opens, and the reader or the writer would then use that file. Put /dev/null there first.
void ensureStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) continue;
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
}

void endOfInput() {
  // Armed first so that the 10-second bound holds even if the stop call itself stalls.
  exitLatch.armFallback(kFallbackExitDelay);
  CaptionEngine::shared().stop(std::nullopt, [](CaptionEngine::Outcome) { exitLatch.request(0); });
}

void* readerMain(void*) {
  runReaderLoop(STDIN_FILENO, [](const Json& command) { handle(command); });
  endOfInput();
  return nullptr;
}

bool startReaderThread() {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  pthread_attr_setstacksize(&attr, kReaderStackBytes);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  const bool started = pthread_create(&stdinThread, &attr, readerMain, nullptr) == 0;
  pthread_attr_destroy(&attr);
  return started;
}

}  // namespace

int main() {
  // Each session runs on threads of its own; with an allocator pool per thread, a long-lived
  // helper kept a model's worth of freed memory in pools of threads long gone (150 to 300 MB
  // after a stop). Two pools keep a stopped helper near its idle size.
  mallopt(M_ARENA_MAX, 2);
  ensureStandardDescriptors();
  // A host that closes our standard output must not kill us mid-write; failed writes are dropped.
  signal(SIGPIPE, SIG_IGN);

  CaptionEngine& engine = CaptionEngine::shared();
  Json hello = Json::object();
  hello["helper"] = "macos";
  hello["version"] = 1;
  hello["captions"] = CaptionWire::capabilities(engine.core().capabilities(kCapabilityWaitMs));
  Wire::event("hello", std::move(hello));
  Wire::log("quorvel caption helper ready");

  if (!startReaderThread()) {
    Wire::log("reader thread could not start; reading on the main thread");
    readerMain(nullptr);
  }

  const int status = exitLatch.wait();
  // Give the host a moment to take what is queued (a host that does not read only costs that
  // moment, and the exit stays within the bound set at end of input), then end at once: engine
  // threads may still be running.
  Wire::holdForExit(static_cast<int>(exitLatch.timeLeft(kExitFlushTime).count()));
  _exit(status);
}
