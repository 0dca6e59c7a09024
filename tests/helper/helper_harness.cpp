#include "helper_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace quorvel::testing {

namespace {

void makePipe(int fds[2]) {
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

HelperProcess::HelperProcess(Options options) {
  // A child that is gone must not kill the test with SIGPIPE when we write to it.
  signal(SIGPIPE, SIG_IGN);

  int in[2], out[2], err[2];
  makePipe(wakeFds_);
  makePipe(in);
  makePipe(out);
  makePipe(err);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options.stdinClosed) {
    posix_spawn_file_actions_addclose(&actions, STDIN_FILENO);
  } else {
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  }
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);

  std::vector<std::string> envStrings;
  for (char** e = environ; e && *e; ++e) envStrings.emplace_back(*e);
  for (const auto& e : options.extraEnv) {
    // getenv takes the first entry of a name, so an inherited one would hide ours.
    const std::string prefix = e.substr(0, e.find('=')) + "=";
    std::erase_if(envStrings, [&](const std::string& s) { return s.rfind(prefix, 0) == 0; });
    envStrings.push_back(e);
  }
  std::vector<char*> envp;
  for (auto& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string path = options.path;
  char* argv[] = {path.data(), nullptr};

  // The child starts as from a typical host: default signal dispositions (our SIGPIPE ignore
  // would otherwise be inherited and hide a helper that forgot its own) and nothing blocked.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults, none;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  const int rc = posix_spawn(&pid_, path.c_str(), &actions, &attr, argv, envp.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  stdinFd_ = in[1];
  stdoutFd_ = out[0];
  stderrFd_ = err[0];
  if (rc != 0) {
    closeFd(stdinFd_);
    closeFd(stdoutFd_);
    closeFd(stderrFd_);
    closeFd(wakeFds_[0]);
    closeFd(wakeFds_[1]);
    throw std::runtime_error("cannot start " + path + ": " + std::strerror(rc));
  }
  if (options.stdinClosed) closeFd(stdinFd_);
  if (options.stdinPipeBytes > 0 && stdinFd_ >= 0 &&
      ::fcntl(stdinFd_, F_SETPIPE_SZ, options.stdinPipeBytes) < options.stdinPipeBytes) {
    ::kill(pid_, SIGKILL);
    reap();
    closeFd(stdinFd_);
    closeFd(stdoutFd_);
    closeFd(stderrFd_);
    closeFd(wakeFds_[0]);
    closeFd(wakeFds_[1]);
    throw std::runtime_error("cannot resize the standard input pipe: " +
                             std::string(std::strerror(errno)));
  }

  if (!options.holdStdout) outThread_ = std::thread([this] { collect(stdoutFd_, true); });
  if (!options.holdStderr) errThread_ = std::thread([this] { collect(stderrFd_, false); });
  reapThread_ = std::thread([this] { reap(); });
}

HelperProcess::~HelperProcess() {
  closeStdin();
  if (!waitForExit(0ms)) ::kill(pid_, SIGKILL);
  reapThread_.join();
  if (outThread_.joinable()) outThread_.join();
  if (errThread_.joinable()) errThread_.join();
  closeFd(stdoutFd_);
  closeFd(stderrFd_);
  closeFd(wakeFds_[0]);
  closeFd(wakeFds_[1]);
}

void HelperProcess::reap() {
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid_, &status, 0);
  } while (r < 0 && errno == EINTR);
  const int code = WIFEXITED(status)     ? WEXITSTATUS(status)
                   : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                         : -1;
  {
    std::lock_guard lock(mutex_);
    exitStatus_ = code;
  }
  changed_.notify_all();
}

void HelperProcess::collect(int fd, bool isStdout) {
  std::string pending;
  char buf[65536];
  for (;;) {
    // The wake pipe lets closeStdout end this loop without closing a descriptor that this
    // thread is reading.
    pollfd p[2] = {{fd, POLLIN, 0}, {isStdout ? wakeFds_[0] : -1, POLLIN, 0}};
    const int ready = ::poll(p, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (p[1].revents != 0) break;
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(buf, static_cast<size_t>(n));
    size_t start = 0;
    std::vector<std::string> lines;
    for (size_t lf; (lf = pending.find('\n', start)) != std::string::npos; start = lf + 1) {
      lines.push_back(pending.substr(start, lf - start));
    }
    pending.erase(0, start);
    if (lines.empty()) continue;
    {
      std::lock_guard lock(mutex_);
      for (auto& line : lines) {
        if (!isStdout) {
          logs_.push_back(std::move(line));
          continue;
        }
        Json j = Json::parse(line, nullptr, false);
        if (j.is_discarded() || !j.is_object()) {
          invalid_.push_back(std::move(line));
        } else {
          messages_.push_back(std::move(j));
        }
      }
    }
    changed_.notify_all();
  }
  {
    std::lock_guard lock(mutex_);
    if (!pending.empty()) (isStdout ? invalid_ : logs_).push_back(pending);
    ++endedStreams_;
  }
  changed_.notify_all();
}

bool HelperProcess::send(std::string_view bytes) {
  if (stdinFd_ < 0) return false;
  while (!bytes.empty()) {
    const ssize_t n = ::write(stdinFd_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool HelperProcess::sendLine(const Json& command) { return send(command.dump() + "\n"); }

void HelperProcess::closeStdin() { closeFd(stdinFd_); }

void HelperProcess::closeStdout() {
  if (outThread_.joinable()) {
    const char wake = 1;
    (void)!::write(wakeFds_[1], &wake, 1);
    outThread_.join();
  } else if (stdoutFd_ >= 0) {
    std::lock_guard lock(mutex_);
    ++endedStreams_;  // held and never read: nothing more will come from it either
  }
  closeFd(stdoutFd_);
}

void HelperProcess::startReading() {
  if (!outThread_.joinable() && stdoutFd_ >= 0) {
    outThread_ = std::thread([this] { collect(stdoutFd_, true); });
  }
  if (!errThread_.joinable()) errThread_ = std::thread([this] { collect(stderrFd_, false); });
}

bool HelperProcess::waitForOutputEnd(std::chrono::milliseconds wait) {
  return waitUntil(wait, [&] { return endedStreams_ == 2; });
}

template <class Pred>
bool HelperProcess::waitUntil(std::chrono::milliseconds wait, Pred pred) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, wait, pred);
}

std::optional<Json> HelperProcess::waitFor(const std::function<bool(const Json&)>& match,
                                           std::chrono::milliseconds wait, size_t from) {
  std::optional<Json> found;
  waitUntil(wait, [&] {
    for (size_t i = from; i < messages_.size(); ++i) {
      if (match(messages_[i])) {
        found = messages_[i];
        return true;
      }
    }
    from = messages_.size();
    return false;
  });
  return found;
}

std::optional<Json> HelperProcess::waitForReply(const std::string& id,
                                                std::chrono::milliseconds wait) {
  return waitFor(
      [&](const Json& m) {
        return (m.value("t", "") == "ack" || m.value("t", "") == "err") && m.contains("id") &&
               m["id"] == id;
      },
      wait);
}

std::optional<Json> HelperProcess::waitForEvent(const std::string& ev,
                                                std::chrono::milliseconds wait, size_t from) {
  return waitFor(
      [&](const Json& m) { return m.value("t", "") == "evt" && m.value("ev", "") == ev; }, wait,
      from);
}

bool HelperProcess::waitForLog(const std::string& text, std::chrono::milliseconds wait,
                               size_t from) {
  return waitUntil(wait, [&] {
    for (size_t i = from; i < logs_.size(); ++i) {
      if (logs_[i] == text) return true;
    }
    return false;
  });
}

std::optional<std::string> HelperProcess::waitForLogWhere(
    const std::function<bool(const std::string&)>& match, std::chrono::milliseconds wait,
    size_t from) {
  std::optional<std::string> found;
  waitUntil(wait, [&] {
    for (size_t i = from; i < logs_.size(); ++i) {
      if (match(logs_[i])) {
        found = logs_[i];
        return true;
      }
    }
    from = logs_.size();
    return false;
  });
  return found;
}

bool HelperProcess::waitForLogCount(size_t count, std::chrono::milliseconds wait) {
  return waitUntil(wait, [&] { return logs_.size() >= count; });
}

std::optional<int> HelperProcess::waitForExit(std::chrono::milliseconds wait) {
  std::optional<int> status;
  waitUntil(wait, [&] {
    status = exitStatus_;
    return status.has_value();
  });
  return status;
}

HelperProcess::Collected HelperProcess::roundTrip(std::string_view bytes,
                                                  std::chrono::milliseconds wait) {
  const size_t outMark = messageCount();
  const size_t errMark = logCount();
  const std::string barrierId = "__barrier" + std::to_string(++barrierCount_);
  send(bytes);
  sendLine(Json{{"id", barrierId}, {"op", "captionsStatus"}});
  send("{}\n");

  Collected c;
  const bool done = waitUntil(wait, [&] {
    size_t ack = messages_.size();
    for (size_t i = outMark; i < messages_.size(); ++i) {
      if (messages_[i].value("id", "") == barrierId) ack = i;
    }
    size_t logEnd = logs_.size();
    for (size_t i = errMark; i < logs_.size(); ++i) {
      if (logs_[i] == "[helper.mac] dropping malformed command") {
        logEnd = i;
        break;
      }
    }
    if (ack == messages_.size() || logEnd == logs_.size()) return false;
    c.out.assign(messages_.begin() + static_cast<long>(outMark),
                 messages_.begin() + static_cast<long>(ack));
    c.err.assign(logs_.begin() + static_cast<long>(errMark),
                 logs_.begin() + static_cast<long>(logEnd));
    return true;
  });
  if (!done) throw std::runtime_error("helper did not answer the barrier " + barrierId);
  return c;
}

std::vector<Json> HelperProcess::messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

std::vector<std::string> HelperProcess::logs() const {
  std::lock_guard lock(mutex_);
  return logs_;
}

std::vector<std::string> HelperProcess::invalidLines() const {
  std::lock_guard lock(mutex_);
  return invalid_;
}

size_t HelperProcess::messageCount() const {
  std::lock_guard lock(mutex_);
  return messages_.size();
}

size_t HelperProcess::logCount() const {
  std::lock_guard lock(mutex_);
  return logs_.size();
}

}  // namespace quorvel::testing
