#include "tool_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace quorvel::testing {

ToolProcess::ToolProcess(const std::string& path, const std::vector<std::string>& args)
    : ToolProcess(path, args, Options{}) {}

ToolProcess::ToolProcess(const std::string& path, const std::vector<std::string>& args,
                         Options options) {
  int outPipe[2], errPipe[2];
  if (options.terminal) {
    // The terminal's controller end is read as standard output.
    winsize size{};
    size.ws_col = 100;
    size.ws_row = 30;
    if (openpty(&outPipe[0], &outPipe[1], nullptr, nullptr, &size) != 0) return;
    fcntl(outPipe[0], F_SETFD, FD_CLOEXEC);
    fcntl(outPipe[1], F_SETFD, FD_CLOEXEC);
  } else if (pipe2(outPipe, O_CLOEXEC) != 0) {
    return;
  }
  if (pipe2(errPipe, O_CLOEXEC) != 0) return;
  std::vector<std::string> argvStrings{path};
  argvStrings.insert(argvStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argvStrings) argv.push_back(a.data());
  argv.push_back(nullptr);
  // The environment, made before forking: this process's, with the options' entries replacing
  // those of the same name.
  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e) {
    const std::string entry(*e);
    const std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const std::string& given : options.env) {
      replaced = replaced || given.substr(0, given.find('=')) == name;
    }
    if (!replaced) envStrings.push_back(entry);
  }
  envStrings.insert(envStrings.end(), options.env.begin(), options.env.end());
  std::vector<char*> envp;
  for (auto& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_ = fork();
  if (pid_ == 0) {
    if (options.terminal) {
      setsid();
      ioctl(outPipe[1], TIOCSCTTY, 0);
      dup2(outPipe[1], 0);
    } else {
      int in = open(options.stdinPath.c_str(), O_RDONLY);
      dup2(in, 0);
    }
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    execve(path.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  if (pid_ < 0) {
    close(outPipe[0]);
    close(errPipe[0]);
    return;
  }
  collector_ = std::thread([this, o = outPipe[0], e = errPipe[0]] { collect(o, e); });
  waiter_ = std::thread([this] {
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    std::lock_guard lock(mutex_);
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    changed_.notify_all();
  });
}

ToolProcess::~ToolProcess() {
  bool running = false;
  {
    std::lock_guard lock(mutex_);
    running = pid_ > 0 && !status_;
  }
  if (running) kill(pid_, SIGKILL);
  if (waiter_.joinable()) waiter_.join();
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
  std::lock_guard lock(mutex_);
  if (pid_ > 0 && !status_) kill(pid_, sig);
}

std::optional<int> ToolProcess::waitForExit(std::chrono::milliseconds wait) {
  std::unique_lock lock(mutex_);
  if (pid_ <= 0) return std::nullopt;
  if (!changed_.wait_for(lock, wait, [&] { return status_.has_value(); })) return std::nullopt;
  // Whatever the child wrote before it ended is read once its pipes close.
  changed_.wait_for(lock, std::chrono::seconds(5), [&] { return closed_; });
  return status_;
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
