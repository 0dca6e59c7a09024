#include "bench/helper-bench/helper_child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <stdexcept>

extern char** environ;

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

double seconds(const timeval& tv) {
  return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

}  // namespace

double wallMs() { return clockMs(CLOCK_REALTIME); }
double steadyMs() { return clockMs(CLOCK_MONOTONIC); }

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    throw std::runtime_error("pipe failed");
  }
  if (pipe2(err, O_CLOEXEC) != 0) {
    for (int fd : {in[0], in[1], out[0], out[1]}) ::close(fd);
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // dup2 onto 0, 1 and 2 clears close-on-exec there; the originals close at exec.
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  spawnedSteadyMs_ = steadyMs();
  const int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  stdinFd_ = in[1];
  stdoutFd_ = out[0];
  stderrFd_ = err[0];
  if (rc != 0) {
    pid_ = -1;
    closeFd(stdinFd_);
    closeFd(stdoutFd_);
    closeFd(stderrFd_);
    throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
  }
}

ChildProcess::~ChildProcess() {
  closeFd(stdinFd_);
  closeFd(stdoutFd_);
  closeFd(stderrFd_);
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

bool ChildProcess::sendLine(const nlohmann::json& command) {
  if (stdinFd_ < 0) return false;
  const std::string line = command.dump() + "\n";
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(stdinFd_, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void ChildProcess::takeLines(std::string& pending, bool isStdout, double wall, double steady) {
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

bool ChildProcess::pump(std::chrono::steady_clock::time_point deadline) {
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

std::optional<ChildMessage> ChildProcess::waitFor(
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

bool ChildProcess::waitForLog(const std::string& text, std::chrono::milliseconds wait,
                              size_t from) {
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

std::optional<long> ChildProcess::statusKb(const std::string& key) const {
  if (pid_ <= 0) return std::nullopt;
  std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(key, 0) == 0) return std::stol(line.substr(key.size()));
  }
  return std::nullopt;
}

std::optional<size_t> ChildProcess::mappedLibraries() const {
  if (pid_ <= 0) return std::nullopt;
  std::ifstream in("/proc/" + std::to_string(pid_) + "/maps");
  if (!in) return std::nullopt;
  std::set<std::string> libraries;
  for (std::string line; std::getline(in, line);) {
    const size_t path = line.find('/');
    if (path != std::string::npos && line.find(".so", path) != std::string::npos)
      libraries.insert(line.substr(path));
  }
  return libraries.size();
}

ChildExit ChildProcess::finish(std::chrono::milliseconds wait) {
  ChildExit result;
  closeFd(stdinFd_);
  const auto deadline = std::chrono::steady_clock::now() + wait;
  while (std::chrono::steady_clock::now() < deadline && pump(deadline)) {
  }
  if (pid_ <= 0) return result;
  int status = 0;
  rusage usage{};
  // Both pipes reach their end when the child exits; a child that keeps them open past the
  // deadline is killed.
  if (stdoutFd_ >= 0 || stderrFd_ >= 0) {
    ::kill(pid_, SIGKILL);
    result.killed = true;
  }
  while (::wait4(pid_, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  closeFd(stdoutFd_);
  closeFd(stderrFd_);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.userSeconds = seconds(usage.ru_utime);
  result.systemSeconds = seconds(usage.ru_stime);
  result.cpuSeconds = result.userSeconds + result.systemSeconds;
  result.maxRssKb = usage.ru_maxrss;
  return result;
}

}  // namespace quorvel::bench
