// Starts a program as a child process, as tests, benchmarks and tools need it: each standard
// stream a pipe to us, /dev/null, closed, inherited or (standard input) a file, or standard input
// and output a terminal; extra environment entries; the child's exit status with its CPU time and
// peak memory once it ends. Reading and writing the pipes is
// the caller's (HelperProcess and ToolProcess build their collectors on it).
//
// Threads: one thread owns the object; waitForExit may be called from any thread. A reaper
// thread waits for the child, so its status is known as soon as it ends. The destructor kills a
// child that is still running and reaps it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quorvel::support {

struct ChildExit {
  int status = -1;           // the exit status; 128 + the signal for a child ended by one
  double cpuSeconds = 0;     // user + system time of the child
  double userSeconds = 0;    // of which user time
  double systemSeconds = 0;  // and system time
  long maxRssKb = 0;         // its peak resident memory
};

class ChildProcess {
 public:
  // terminal: a pseudo-terminal of 100 columns and 30 rows that becomes the child's controlling
  // terminal (the child starts a session of its own); our end is stdoutFd(), and a child whose
  // input is a terminal too reads what is written there. Only for standard input and output.
  enum class Stream { pipe, devNull, closed, inherit, file, terminal };
  struct Options {
    // argv[0] is the program; without a slash it is looked up on PATH.
    std::vector<std::string> argv = {};
    // NAME=value entries; each replaces an inherited variable of the same name.
    std::vector<std::string> extraEnv = {};
    Stream in = Stream::pipe;
    Stream out = Stream::pipe;
    Stream err = Stream::pipe;
    std::string inPath = {};  // standard input's file for Stream::file
  };

  // Throws std::runtime_error when the program cannot be started. The child starts as from a
  // typical host: default signal dispositions and nothing blocked.
  explicit ChildProcess(Options options);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Our ends of the pipes; -1 for a stream that is not a pipe, or once closed or taken.
  int stdinFd() const { return stdinFd_; }
  int stdoutFd() const { return stdoutFd_; }
  int stderrFd() const { return stderrFd_; }
  void closeStdin();
  // Hands our end of a pipe over to the caller, who closes it.
  int takeStdout();
  int takeStderr();

  // Sends a signal unless the child has ended.
  void signal(int sig);
  // The child's exit, or nothing when it has not ended within `wait`.
  std::optional<ChildExit> waitForExit(std::chrono::milliseconds wait);
  bool running();
  // SIGTERM, then SIGKILL when it has not ended within `grace`; returns its exit.
  ChildExit terminate(std::chrono::milliseconds grace = std::chrono::seconds(2));

 private:
  void reap();

  pid_t pid_ = -1;
  int stdinFd_ = -1;
  int stdoutFd_ = -1;
  int stderrFd_ = -1;
  std::mutex mutex_;
  std::condition_variable ended_;
  std::optional<ChildExit> exit_;  // guarded by mutex_
  std::thread reaper_;
};

}  // namespace quorvel::support
