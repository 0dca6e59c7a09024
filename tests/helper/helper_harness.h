// Drives the real helper binary over pipes, as a host would: writes command lines to its standard
// input, collects its standard output as JSON messages and its standard error as text lines, and
// waits for what a test expects with a deadline (never a fixed sleep).
//
// Threads: one test thread uses a HelperProcess; two collector threads read the child's output
// and the child process's reaper waits for its exit. The destructor kills a child that is still
// running.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "caption_engine/runtime/caption_json.h"
#include "tests/support/child_process.h"

namespace quorvel::testing {

using namespace std::chrono_literals;

class HelperProcess {
 public:
  struct Options {
    std::string path = QUORVEL_HELPER_PATH;
    bool stdinClosed = false;  // start the child with descriptor 0 closed
    // NAME=value entries added to the environment; each replaces an inherited variable of the
    // same name.
    std::vector<std::string> extraEnv;
    // Leave the child's standard output or standard error unread until startReading(), as a host
    // that stops reading does: the child's writes fill the pipe.
    bool holdStdout = false;
    bool holdStderr = false;
    // The capacity of the pipe to the child's standard input, when not 0 (at most
    // /proc/sys/fs/pipe-max-size): lets a test queue more input than the default 64 KiB without
    // waiting for the child to read it.
    int stdinPipeBytes = 0;
  };
  // What came out between two points of a conversation.
  struct Collected {
    std::vector<Json> out;
    std::vector<std::string> err;
  };
  static constexpr std::chrono::milliseconds kDefaultWait = 10s;

  HelperProcess() : HelperProcess(Options{}) {}
  explicit HelperProcess(Options options);
  ~HelperProcess();
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;

  pid_t pid() const { return pid_; }

  // Writes raw bytes (false once the child's input is closed or gone).
  bool send(std::string_view bytes);
  // Writes the compact JSON of a command and a line feed.
  bool sendLine(const Json& command);
  // Ends the child's input (end of file for its reader).
  void closeStdin();
  // Stops reading the child's output and closes our end, as a host that went away would.
  void closeStdout();
  // Starts reading a held standard output or standard error.
  void startReading();
  // True once every stream being read has reached its end (the child and anything it started
  // have closed it), so that all it wrote has been collected.
  bool waitForOutputEnd(std::chrono::milliseconds wait = kDefaultWait);

  // The first message at or after index `from` that matches, waiting up to `wait`.
  std::optional<Json> waitFor(const std::function<bool(const Json&)>& match,
                              std::chrono::milliseconds wait = kDefaultWait, size_t from = 0);
  // The ack or err that answers id.
  std::optional<Json> waitForReply(const std::string& id,
                                   std::chrono::milliseconds wait = kDefaultWait);
  // The first event named ev.
  std::optional<Json> waitForEvent(const std::string& ev,
                                   std::chrono::milliseconds wait = kDefaultWait, size_t from = 0);
  // True once standard error has a line equal to text at or after index `from`.
  bool waitForLog(const std::string& text, std::chrono::milliseconds wait = kDefaultWait,
                  size_t from = 0);
  // The first standard error line at or after index `from` that matches, waiting up to `wait`.
  std::optional<std::string> waitForLogWhere(const std::function<bool(const std::string&)>& match,
                                             std::chrono::milliseconds wait = kDefaultWait,
                                             size_t from = 0);
  // True once standard error has at least count lines.
  bool waitForLogCount(size_t count, std::chrono::milliseconds wait = kDefaultWait);
  // The child's exit status, or nothing if it has not exited in time. A child ended by a signal
  // reports 128 + the signal number.
  std::optional<int> waitForExit(std::chrono::milliseconds wait = kDefaultWait);

  // Sends bytes, then a barrier, and returns what the bytes produced. Barrier: a captionsStatus
  // with a private id, whose ack proves every earlier line was handled, and a {} line, whose
  // "dropping malformed command" marks the end of their diagnostics on standard error. The bytes
  // themselves must not produce "dropping malformed command"; they should end with a line feed.
  Collected roundTrip(std::string_view bytes, std::chrono::milliseconds wait = kDefaultWait);

  std::vector<Json> messages() const;
  std::vector<std::string> logs() const;
  // Standard output lines that were not valid JSON (a protocol fault; tests expect none).
  std::vector<std::string> invalidLines() const;
  size_t messageCount() const;
  size_t logCount() const;

 private:
  void collect(int fd, bool isStdout);
  template <class Pred>
  bool waitUntil(std::chrono::milliseconds wait, Pred pred);

  std::unique_ptr<support::ChildProcess> child_;
  pid_t pid_ = -1;
  int stdoutFd_ = -1;
  int stderrFd_ = -1;
  int wakeFds_[2] = {-1, -1};
  std::thread outThread_;
  std::thread errThread_;
  int barrierCount_ = 0;
  int endedStreams_ = 0;  // guarded by mutex_

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Json> messages_;
  std::vector<std::string> logs_;
  std::vector<std::string> invalid_;
};

}  // namespace quorvel::testing
