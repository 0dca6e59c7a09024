#include "helper/line_output.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <system_error>
#include <utility>

namespace quorvel::helper {

namespace {

// The most one write carries: on a pipe that poll() reported writable, a write of at most this
// many bytes neither blocks nor is split.
constexpr size_t kPieceBytes = PIPE_BUF;

bool sameOpenFile(int a, int b) {
  struct stat sa {};
  struct stat sb {};
  return ::fstat(a, &sa) == 0 && ::fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// A regular file never keeps a writer waiting for a reader, and some file systems refuse
// RWF_NOWAIT for appends: plain writes serve it better.
bool isRegularFile(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

LineOutput::LineOutput(int outFd, int errFd, Options options) : options_(std::move(options)) {
  out_.fd = outFd;
  out_.bound = options_.outQueueBytes;
  out_.packLines = true;
  err_.fd = errFd;
  err_.bound = options_.errQueueBytes;
  out_.noWait = !isRegularFile(outFd);
  err_.noWait = !isRegularFile(errFd);
  sameFile_ = sameOpenFile(outFd, errFd);
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
  writer_ = std::thread([this] { run(); });
}

LineOutput::~LineOutput() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
    stopped_ = true;
  }
  idle_.notify_all();
  wake();
  writer_.join();
  ::close(wakeFd_);
}

bool LineOutput::heldBack(const Queue& q) const {
  // On a shared file, a line in pieces is completed before anything else goes in.
  const Queue& other = &q == &out_ ? err_ : out_;
  return sameFile_ && other.headSent > 0;
}

bool LineOutput::hasWork(const Queue& q) const {
  if (q.lines.empty() || stopped_ || heldBack(q)) return false;
  return !lineOnly_ || q.headSent > 0;
}

bool LineOutput::admit(Queue& q, size_t size, bool droppable) {
  if (!droppable) return true;
  if (q.dropping || q.bytes + size > q.bound) {
    q.dropping = true;
    ++q.dropped;
    return false;
  }
  return true;
}

void LineOutput::push(Stream stream, std::string line, bool droppable) {
  std::unique_lock lock(mutex_);
  Queue& q = queue(stream);
  if (closed_ || q.failed) return;

  // The usual case: nothing is waiting, so the caller writes the line itself if the descriptor
  // has room for it now.
  if (!writing_ && !stopped_ && q.lines.empty() && !heldBack(q) && line.size() <= kPieceBytes) {
    writing_ = true;
    const bool noWait = q.noWait;
    lock.unlock();
    const Written w = writePiece(q.fd, line, noWait);
    lock.lock();
    writing_ = false;
    if (w.noWaitUnsupported) q.noWait = false;
    idle_.notify_all();
    if (w.kind == Written::Kind::gone) {
      settle(q, w);
      return;
    }
    if ((w.kind == Written::Kind::wrote && w.bytes == line.size()) ||
        w.kind == Written::Kind::failed) {
      return;  // sent, or dropped like any line whose write fails
    }
    // No room, or only part of it went: the line goes before whatever was queued meanwhile.
    if (w.bytes == 0 && !admit(q, line.size(), droppable)) return;
    q.bytes += line.size();
    q.headSent = w.bytes;
    q.lines.push_front(std::move(line));
    lock.unlock();
    wake();
    return;
  }

  if (!admit(q, line.size(), droppable)) return;
  const bool wasEmpty = q.lines.empty();
  q.bytes += line.size();
  q.lines.push_back(std::move(line));
  lock.unlock();
  if (wasEmpty) wake();
}

LineOutput::Written LineOutput::writePiece(int fd, const std::string& piece, bool noWait) {
  Written w{Written::Kind::notReady};
  ssize_t n = -1;
  if (noWait) {
    // One call where the descriptor supports it (pipes, sockets): fails with EAGAIN instead of
    // waiting, and on a pipe writes a piece of at most PIPE_BUF bytes whole or not at all.
    iovec v{const_cast<char*>(piece.data()), piece.size()};
    do {
      n = ::pwritev2(fd, &v, 1, -1, RWF_NOWAIT);
    } while (n < 0 && errno == EINTR);
    w.noWaitUnsupported = n < 0 && (errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL);
  }
  if (!noWait || w.noWaitUnsupported) {
    pollfd p{fd, POLLOUT, 0};
    int ready;
    do {
      ready = ::poll(&p, 1, 0);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) return w;
    // Also on POLLERR, POLLHUP or POLLNVAL: the write says what is wrong.
    do {
      n = ::write(fd, piece.data(), piece.size());
    } while (n < 0 && errno == EINTR);
  }
  if (n > 0) {
    w.kind = Written::Kind::wrote;
    w.bytes = static_cast<size_t>(n);
  } else if (n < 0 && errno == EPIPE) {
    w.kind = Written::Kind::gone;
  } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
    w.kind = Written::Kind::failed;
  }
  return w;
}

std::string LineOutput::nextPiece(const Queue& q) const {
  const std::string& head = q.lines.front();
  if (q.headSent > 0 || head.size() > kPieceBytes) {
    return head.substr(q.headSent, std::min(kPieceBytes, head.size() - q.headSent));
  }
  std::string piece = head;
  if (!q.packLines) return piece;
  for (size_t i = 1; i < q.lines.size() && piece.size() + q.lines[i].size() <= kPieceBytes; ++i) {
    piece += q.lines[i];
  }
  return piece;
}

void LineOutput::settle(Queue& q, const Written& w) {
  switch (w.kind) {
    case Written::Kind::notReady:
      return;
    case Written::Kind::gone:
      // The reader closed its end: nothing written to this descriptor can arrive any more.
      q.failed = true;
      q.lines.clear();
      q.bytes = 0;
      q.headSent = 0;
      return;
    case Written::Kind::failed:
      // As with any failed write, that line is dropped and the next one is tried.
      q.bytes -= q.lines.front().size();
      q.lines.pop_front();
      q.headSent = 0;
      return;
    case Written::Kind::wrote:
      break;
  }
  size_t n = w.bytes;
  while (n > 0) {
    const size_t left = q.lines.front().size() - q.headSent;
    if (n < left) {
      q.headSent += n;
      break;
    }
    n -= left;
    q.bytes -= q.lines.front().size();
    q.lines.pop_front();
    q.headSent = 0;
  }
  if (q.dropping && q.bytes <= q.bound / 2) reportDrops(q);
}

void LineOutput::reportDrops(Queue& q) {
  const size_t dropped = q.dropped;
  q.dropping = false;
  q.dropped = 0;
  if (dropped == 0 || err_.failed) return;
  std::string line = options_.errPrefix;
  line += &q == &out_ ? "standard output was not being read: dropped "
                      : "standard error was not being read: dropped ";
  line += std::to_string(dropped);
  line += &q == &out_ ? " events\n" : " diagnostics\n";
  err_.bytes += line.size();
  err_.lines.push_back(std::move(line));
}

void LineOutput::wake() {
  const uint64_t one = 1;
  (void)!::write(wakeFd_, &one, sizeof one);
}

void LineOutput::run() {
  std::unique_lock lock(mutex_);
  bool errFirst = false;  // the two streams take turns when both can be written
  for (;;) {
    idle_.wait(lock, [&] { return !writing_ || quit_; });
    if (quit_) return;

    pollfd fds[3] = {{wakeFd_, POLLIN, 0}, {-1, POLLOUT, 0}, {-1, POLLOUT, 0}};
    Queue* polled[3] = {nullptr, &out_, &err_};
    for (int i = 1; i < 3; ++i) {
      if (hasWork(*polled[i])) fds[i].fd = polled[i]->fd;
    }
    lock.unlock();
    const int ready = ::poll(fds, 3, -1);
    if (ready > 0 && (fds[0].revents & POLLIN)) {
      uint64_t count;
      (void)!::read(wakeFd_, &count, sizeof count);
    }
    lock.lock();
    if (ready <= 0 || writing_) continue;

    Queue* q = nullptr;
    for (int k = 0; k < 2 && !q; ++k) {
      const int i = 1 + ((k + (errFirst ? 1 : 0)) % 2);
      if (fds[i].fd >= 0 && fds[i].revents != 0 && hasWork(*polled[i])) q = polled[i];
    }
    if (!q) continue;
    errFirst = q == &out_;

    const std::string piece = nextPiece(*q);
    writing_ = true;
    const bool noWait = q->noWait;
    lock.unlock();
    Written w = writePiece(q->fd, piece, noWait);
    // poll() reported room: a descriptor that still refuses a write that may not wait gets the
    // poll()-guarded one, so that the loop cannot spin on it.
    if (w.kind == Written::Kind::notReady && noWait) {
      const bool unsupported = w.noWaitUnsupported;
      w = writePiece(q->fd, piece, false);
      w.noWaitUnsupported = unsupported;
    }
    lock.lock();
    writing_ = false;
    if (w.noWaitUnsupported) q->noWait = false;
    settle(*q, w);
    idle_.notify_all();
  }
}

void LineOutput::finish(std::chrono::milliseconds budget) {
  std::unique_lock lock(mutex_);
  if (closed_) return;
  closed_ = true;
  reportDrops(out_);
  reportDrops(err_);
  lock.unlock();
  wake();
  lock.lock();

  const auto end = std::chrono::steady_clock::now() + budget;
  const auto deadline = end - budget / 2;
  const bool flushed = idle_.wait_until(
      lock, deadline, [&] { return !writing_ && out_.lines.empty() && err_.lines.empty(); });
  if (!flushed) {
    // Out of time: complete only a line that is half written, while the reader still takes it.
    lineOnly_ = true;
    lock.unlock();
    wake();
    lock.lock();
    idle_.wait_until(lock, end,
                     [&] { return !writing_ && out_.headSent == 0 && err_.headSent == 0; });
  }
  // From here on no write starts. A write still under way was made so that it cannot wait, and
  // can only be stuck on a descriptor that reported room it did not have.
  stopped_ = true;
}

}  // namespace quorvel::helper
