#include "tool_process.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace quorvel::testing {

ToolProcess::ToolProcess(const std::string& path, const std::vector<std::string>& args)
    : ToolProcess(path, args, Options{}) {}

ToolProcess::ToolProcess(const std::string& path, const std::vector<std::string>& args,
                         Options options) {
  using Stream = support::ChildProcess::Stream;
  std::vector<std::string> argv{path};
  argv.insert(argv.end(), args.begin(), args.end());
  support::ChildProcess::Options o;
  o.argv = std::move(argv);
  o.extraEnv = std::move(options.env);
  o.in = options.terminal ? Stream::terminal : Stream::file;
  o.out = options.terminal ? Stream::terminal : Stream::pipe;
  o.inPath = std::move(options.stdinPath);
  try {
    child_ = std::make_unique<support::ChildProcess>(std::move(o));
  } catch (const std::exception&) {
    return;  // waitForExit then reports that it never ended
  }
  collector_ = std::thread(
      [this, out = child_->takeStdout(), err = child_->takeStderr()] { collect(out, err); });
}

ToolProcess::~ToolProcess() {
  if (child_) child_->signal(SIGKILL);
  if (collector_.joinable()) collector_.join();
}

void ToolProcess::collect(int outFd, int errFd) {
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  int open = 2;
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      // A terminal's controller end reads EIO once the child has closed the terminal.
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
        continue;
      }
      std::lock_guard lock(mutex_);
      (i == 0 ? out_ : err_).append(buf, static_cast<size_t>(n));
      changed_.notify_all();
    }
  }
  std::lock_guard lock(mutex_);
  closed_ = true;
  changed_.notify_all();
}

bool ToolProcess::waitForOutput(const std::string& text, std::chrono::milliseconds wait) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, wait, [&] {
    return out_.find(text) != std::string::npos || closed_;
  }) && out_.find(text) != std::string::npos;
}

bool ToolProcess::waitForError(const std::string& text, std::chrono::milliseconds wait) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, wait, [&] {
    return err_.find(text) != std::string::npos || closed_;
  }) && err_.find(text) != std::string::npos;
}

void ToolProcess::signal(int sig) {
  if (child_) child_->signal(sig);
}

std::optional<int> ToolProcess::waitForExit(std::chrono::milliseconds wait) {
  if (!child_) return std::nullopt;
  const auto exit = child_->waitForExit(wait);
  if (!exit) return std::nullopt;
  // Whatever the child wrote before it ended is read once its pipes close.
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, std::chrono::seconds(5), [&] { return closed_; });
  return exit->status;
}

std::string ToolProcess::out() const {
  std::lock_guard lock(mutex_);
  return out_;
}

std::string ToolProcess::err() const {
  std::lock_guard lock(mutex_);
  return err_;
}

ToolRun runTool(const std::string& path, const std::vector<std::string>& args,
                std::chrono::milliseconds wait, ToolProcess::Options options) {
  ToolProcess process(path, args, std::move(options));
  ToolRun run;
  run.status = process.waitForExit(wait);
  run.out = process.out();
  run.err = process.err();
  return run;
}

}  // namespace quorvel::testing
