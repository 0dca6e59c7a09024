#include "bench/helper-bench/helper_child.h"

#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <set>

namespace quorvel::bench {

namespace {

double clockMs(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

double wallMs() { return clockMs(CLOCK_REALTIME); }
double steadyMs() { return clockMs(CLOCK_MONOTONIC); }

HelperChild::HelperChild(const std::vector<std::string>& argv)
    : spawnedSteadyMs_(steadyMs()),
      child_(support::ChildProcess::Options{.argv = argv}),
      stdoutFd_(child_.takeStdout()),
      stderrFd_(child_.takeStderr()) {}

HelperChild::~HelperChild() {
  closeFd(stdoutFd_);
  closeFd(stderrFd_);
}

bool HelperChild::sendLine(const nlohmann::json& command) {
  if (child_.stdinFd() < 0) return false;
  const std::string line = command.dump() + "\n";
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(child_.stdinFd(), line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void HelperChild::takeLines(std::string& pending, bool isStdout, double wall, double steady) {
  size_t at;
  while ((at = pending.find('\n')) != std::string::npos) {
    std::string line = pending.substr(0, at);
    pending.erase(0, at + 1);
    if (!isStdout) {
      logs_.push_back(std::move(line));
      continue;
    }
    outLines_.push_back(line);
    nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
      invalid_.push_back(std::move(line));
    } else {
      messages_.push_back({std::move(j), wall, steady});
    }
  }
}

bool HelperChild::pump(std::chrono::steady_clock::time_point deadline) {
  pollfd fds[2];
  nfds_t count = 0;
  if (stdoutFd_ >= 0) fds[count++] = {stdoutFd_, POLLIN, 0};
  if (stderrFd_ >= 0) fds[count++] = {stderrFd_, POLLIN, 0};
  if (count == 0) return false;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  const int timeout = static_cast<int>(std::max<int64_t>(0, left.count()));
  const int ready = ::poll(fds, count, timeout);
  if (ready <= 0) return true;
  const double wall = wallMs();
  const double steady = steadyMs();
  for (nfds_t i = 0; i < count; ++i) {
    if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    const bool isStdout = fds[i].fd == stdoutFd_;
    char buffer[65536];
    const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      closeFd(isStdout ? stdoutFd_ : stderrFd_);
      continue;
    }
    std::string& pending = isStdout ? outPending_ : errPending_;
    pending.append(buffer, static_cast<size_t>(n));
    takeLines(pending, isStdout, wall, steady);
  }
  return stdoutFd_ >= 0 || stderrFd_ >= 0;
}

std::optional<ChildMessage> HelperChild::waitFor(
    const std::function<bool(const nlohmann::json&)>& match, std::chrono::milliseconds wait,
    size_t from) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  size_t checked = from;
  for (;;) {
    for (; checked < messages_.size(); ++checked) {
      if (match(messages_[checked].json)) return messages_[checked];
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    if (!pump(deadline)) {
      for (; checked < messages_.size(); ++checked) {
        if (match(messages_[checked].json)) return messages_[checked];
      }
      return std::nullopt;
    }
  }
}

bool HelperChild::waitForLog(const std::string& text, std::chrono::milliseconds wait, size_t from) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  size_t checked = from;
  for (;;) {
    for (; checked < logs_.size(); ++checked) {
      if (logs_[checked].find(text) != std::string::npos) return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (!pump(deadline)) {
      for (; checked < logs_.size(); ++checked) {
        if (logs_[checked].find(text) != std::string::npos) return true;
      }
      return false;
    }
  }
}

std::optional<long> HelperChild::statusKb(const std::string& key) const {
  if (ended_) return std::nullopt;
  std::ifstream in("/proc/" + std::to_string(child_.pid()) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(key, 0) == 0) return std::stol(line.substr(key.size()));
  }
  return std::nullopt;
}

std::optional<size_t> HelperChild::mappedLibraries() const {
  if (ended_) return std::nullopt;
  std::ifstream in("/proc/" + std::to_string(child_.pid()) + "/maps");
  if (!in) return std::nullopt;
  std::set<std::string> libraries;
  for (std::string line; std::getline(in, line);) {
    const size_t path = line.find('/');
    if (path != std::string::npos && line.find(".so", path) != std::string::npos)
      libraries.insert(line.substr(path));
  }
  return libraries.size();
}

HelperChildExit HelperChild::finish(std::chrono::milliseconds wait) {
  HelperChildExit result;
  child_.closeStdin();
  const auto deadline = std::chrono::steady_clock::now() + wait;
  while (std::chrono::steady_clock::now() < deadline && pump(deadline)) {
  }
  // Both pipes reach their end when the child exits; a child that keeps them open past the
  // deadline is killed.
  if (stdoutFd_ >= 0 || stderrFd_ >= 0) {
    child_.signal(SIGKILL);
    result.killed = true;
  }
  if (const auto exit = child_.waitForExit(std::chrono::seconds(10))) {
    static_cast<support::ChildExit&>(result) = *exit;
  }
  ended_ = true;
  closeFd(stdoutFd_);
  closeFd(stderrFd_);
  return result;
}

}  // namespace quorvel::bench
