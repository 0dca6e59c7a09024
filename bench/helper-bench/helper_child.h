// A child process driven over pipes, as a host drives the caption helper: command lines written
// to its standard input, its standard output collected as JSON messages and its standard error as
// text lines, each stamped with the wall-clock time at which the bench read it. At the end its
// exit gives its CPU time and peak resident memory.
//
// Threads: single-threaded. Output is read only while the caller waits (waitFor..., finish), with
// poll and a deadline; a line's arrival time is the moment the bench read it, so a caller that
// waits at once sees arrival times within a poll wake-up of the write.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/child_process.h"

namespace quorvel::bench {

// Milliseconds since the Unix epoch, with sub-millisecond precision (CLOCK_REALTIME).
double wallMs();
// Milliseconds of CLOCK_MONOTONIC.
double steadyMs();

struct ChildMessage {
  nlohmann::json json;
  double wallMs = 0;    // when the bench read the line
  double steadyMs = 0;  // the same instant on the monotonic clock
};

struct HelperChildExit : support::ChildExit {
  bool killed = false;  // it did not end in time and was killed
};

class HelperChild {
 public:
  // Starts argv[0] with pipes on descriptors 0, 1 and 2; throws std::runtime_error on failure.
  explicit HelperChild(const std::vector<std::string>& argv);
  ~HelperChild();  // kills and reaps a child still running
  HelperChild(const HelperChild&) = delete;
  HelperChild& operator=(const HelperChild&) = delete;

  pid_t pid() const { return child_.pid(); }
  double spawnedSteadyMs() const { return spawnedSteadyMs_; }

  // Writes the compact JSON of a command and a line feed; false if the child's input is gone.
  bool sendLine(const nlohmann::json& command);
  // The first message at or after index `from` that matches, reading up to `wait` for it.
  std::optional<ChildMessage> waitFor(const std::function<bool(const nlohmann::json&)>& match,
                                      std::chrono::milliseconds wait, size_t from = 0);
  // True once a standard error line containing `text` arrived at or after index `from`.
  bool waitForLog(const std::string& text, std::chrono::milliseconds wait, size_t from = 0);

  // Peak resident set size so far (VmHWM of /proc/<pid>/status), in kB; nothing once gone.
  std::optional<long> peakResidentKb() const { return statusKb("VmHWM:"); }
  // Resident set size now (VmRSS), in kB; nothing once gone.
  std::optional<long> residentKb() const { return statusKb("VmRSS:"); }
  // How many shared libraries the child has mapped now (from /proc/<pid>/maps); nothing once gone.
  std::optional<size_t> mappedLibraries() const;

  // Closes the child's input, reads its output to the end and reaps it; a child still running
  // after `wait` is killed.
  HelperChildExit finish(std::chrono::milliseconds wait);

  const std::vector<ChildMessage>& messages() const { return messages_; }
  const std::vector<std::string>& logs() const { return logs_; }
  // Standard output lines that are not JSON objects (the helper writes none).
  const std::vector<std::string>& invalidLines() const { return invalid_; }
  // Every standard output line as text, for children that do not speak JSON.
  const std::vector<std::string>& outputLines() const { return outLines_; }

 private:
  // Reads what is available, waiting until `deadline` at most; false when both pipes are at end.
  bool pump(std::chrono::steady_clock::time_point deadline);
  std::optional<long> statusKb(const std::string& key) const;
  void takeLines(std::string& pending, bool isStdout, double wall, double steady);

  double spawnedSteadyMs_ = 0;  // before the child, so that it is taken before the spawn
  support::ChildProcess child_;
  bool ended_ = false;
  int stdoutFd_ = -1;
  int stderrFd_ = -1;
  std::string outPending_;
  std::string errPending_;
  std::vector<std::string> outLines_;
  std::vector<ChildMessage> messages_;
  std::vector<std::string> logs_;
  std::vector<std::string> invalid_;
};

}  // namespace quorvel::bench
