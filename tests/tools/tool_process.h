// Runs a command-line tool as a child process over pipes: collects its standard output and
// standard error, lets a test wait (with a deadline) for a line to appear, send a signal, and
// wait for the exit status. Standard input may come from a file, the environment may be changed,
// and standard input and output may be a terminal (a pseudo-terminal of 100 columns; standard
// error stays a pipe), for what a tool does only on a terminal.
//
// Threads: one test thread uses a ToolProcess; one collector thread reads both pipes. The
// destructor kills a child that is still running.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"

namespace quorvel::testing {

class ToolProcess {
 public:
  struct Options {
    std::string stdinPath = "/dev/null";  // ignored with a terminal
    std::vector<std::string> env;         // NAME=value entries set for the child
    bool terminal = false;
  };

  ToolProcess(const std::string& path, const std::vector<std::string>& args);
  ToolProcess(const std::string& path, const std::vector<std::string>& args, Options options);
  ~ToolProcess();
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;

  // True once standard output holds the text, waiting up to `wait`.
  bool waitForOutput(const std::string& text, std::chrono::milliseconds wait);
  // The same for standard error.
  bool waitForError(const std::string& text, std::chrono::milliseconds wait);
  void signal(int sig);
  // The exit status (128 + signal for a child ended by a signal), or nothing if it has not ended
  // within `wait`; then the output has been read to its end.
  std::optional<int> waitForExit(std::chrono::milliseconds wait);

  std::string out() const;
  std::string err() const;

 private:
  void collect(int outFd, int errFd);

  std::unique_ptr<support::ChildProcess> child_;
  std::thread collector_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::string out_;      // guarded by mutex_
  std::string err_;      // guarded by mutex_
  bool closed_ = false;  // guarded by mutex_: both pipes reached end of file
};

// Runs the tool to its end (at most `wait`) and returns exit status, stdout and stderr.
struct ToolRun {
  std::optional<int> status;
  std::string out;
  std::string err;
};
ToolRun runTool(const std::string& path, const std::vector<std::string>& args,
                std::chrono::milliseconds wait, ToolProcess::Options options = {});

}  // namespace quorvel::testing
