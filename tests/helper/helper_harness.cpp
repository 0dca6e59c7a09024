#include "helper_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

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
  makePipe(wakeFds_);
  try {
    child_ = std::make_unique<support::ChildProcess>(
        support::ChildProcess::Options{{options.path},
                                       options.extraEnv,
                                       options.stdinClosed ? support::ChildProcess::Stream::closed
                                                           : support::ChildProcess::Stream::pipe});
  } catch (...) {
    closeFd(wakeFds_[0]);
    closeFd(wakeFds_[1]);
    throw;
  }
  pid_ = child_->pid();
  stdoutFd_ = child_->takeStdout();
  stderrFd_ = child_->takeStderr();
  if (options.stdinPipeBytes > 0 && child_->stdinFd() >= 0 &&
      ::fcntl(child_->stdinFd(), F_SETPIPE_SZ, options.stdinPipeBytes) < options.stdinPipeBytes) {
    const std::string error = std::strerror(errno);
    child_.reset();  // kills and reaps it
    closeFd(stdoutFd_);
    closeFd(stderrFd_);
    closeFd(wakeFds_[0]);
    closeFd(wakeFds_[1]);
    throw std::runtime_error("cannot resize the standard input pipe: " + error);
  }

  if (!options.holdStdout) outThread_ = std::thread([this] { collect(stdoutFd_, true); });
  if (!options.holdStderr) errThread_ = std::thread([this] { collect(stderrFd_, false); });
}

HelperProcess::~HelperProcess() {
  closeStdin();
  if (!waitForExit(0ms)) child_->signal(SIGKILL);
  if (outThread_.joinable()) outThread_.join();
  if (errThread_.joinable()) errThread_.join();
  child_.reset();
  closeFd(stdoutFd_);
  closeFd(stderrFd_);
  closeFd(wakeFds_[0]);
  closeFd(wakeFds_[1]);
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
  const int fd = child_->stdinFd();
  if (fd < 0) return false;
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool HelperProcess::sendLine(const Json& command) { return send(command.dump() + "\n"); }

void HelperProcess::closeStdin() { child_->closeStdin(); }

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
  if (auto e = child_->waitForExit(wait)) return e->status;
  return std::nullopt;
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
