#include "tests/support/child_process.h"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace quorvel::support {

namespace {

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

double seconds(const timeval& tv) {
  return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

// Arranges one of the child's standard streams; `ours` gets our end of a pipe.
void arrange(posix_spawn_file_actions_t& actions, ChildProcess::Stream stream, int target,
             int& ours, std::vector<int>& theirs, const std::string& path) {
  switch (stream) {
    case ChildProcess::Stream::file:
      posix_spawn_file_actions_addopen(&actions, target, path.c_str(), O_RDONLY, 0);
      return;
    case ChildProcess::Stream::terminal:
      // The terminal itself is opened by openTerminal(); its streams are set up there.
      return;
    case ChildProcess::Stream::pipe: {
      int fds[2];
      if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
      const bool childReads = target == STDIN_FILENO;
      ours = childReads ? fds[1] : fds[0];
      theirs.push_back(childReads ? fds[0] : fds[1]);
      // dup2 onto 0, 1 or 2 clears close-on-exec there; the originals close at exec.
      posix_spawn_file_actions_adddup2(&actions, theirs.back(), target);
      return;
    }
    case ChildProcess::Stream::devNull:
      posix_spawn_file_actions_addopen(&actions, target, "/dev/null",
                                       target == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
      return;
    case ChildProcess::Stream::closed:
      posix_spawn_file_actions_addclose(&actions, target);
      return;
    case ChildProcess::Stream::inherit:
      return;
  }
}

// Opens a pseudo-terminal for the child's standard output (and input, when `input`): the child
// opens it by name after starting its own session, which makes it its controlling terminal.
void openTerminal(posix_spawn_file_actions_t& actions, bool input, int& ours,
                  std::string& slaveName) {
  winsize size{};
  size.ws_col = 100;
  size.ws_row = 30;
  int slave = -1;
  char name[128];
  if (openpty(&ours, &slave, name, nullptr, &size) != 0) throw std::runtime_error("openpty failed");
  ::fcntl(ours, F_SETFD, FD_CLOEXEC);
  ::close(slave);  // the terminal stays while our end is open
  slaveName = name;
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, slaveName.c_str(), O_RDWR, 0);
  if (input) posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDIN_FILENO);
}

}  // namespace

ChildProcess::ChildProcess(Options options) {
  if (options.argv.empty()) throw std::runtime_error("no program to start");
  // A child that is gone must not kill us with SIGPIPE when we write to it.
  ::signal(SIGPIPE, SIG_IGN);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  std::vector<int> theirs;
  std::string terminalName;  // lives until the child has started
  const bool terminal = options.out == Stream::terminal;
  try {
    if (options.err == Stream::terminal || (options.in == Stream::terminal && !terminal)) {
      throw std::runtime_error("a terminal is for standard output, and input with it");
    }
    if (terminal) openTerminal(actions, options.in == Stream::terminal, stdoutFd_, terminalName);
    arrange(actions, options.in, STDIN_FILENO, stdinFd_, theirs, options.inPath);
    arrange(actions, options.out, STDOUT_FILENO, stdoutFd_, theirs, options.inPath);
    arrange(actions, options.err, STDERR_FILENO, stderrFd_, theirs, options.inPath);
  } catch (...) {
    posix_spawn_file_actions_destroy(&actions);
    for (int& fd : theirs) closeFd(fd);
    closeFd(stdinFd_);
    closeFd(stdoutFd_);
    closeFd(stderrFd_);
    throw;
  }

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
  std::vector<char*> argv;
  for (auto& a : options.argv) argv.push_back(a.data());
  argv.push_back(nullptr);

  // Our own SIGPIPE ignore would otherwise be inherited and hide a child that forgot its own.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults, none;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(
      &attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | (terminal ? POSIX_SPAWN_SETSID : 0));

  const int rc = posix_spawnp(&pid_, argv[0], &actions, &attr, argv.data(), envp.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  for (int& fd : theirs) closeFd(fd);
  if (rc != 0) {
    pid_ = -1;
    closeFd(stdinFd_);
    closeFd(stdoutFd_);
    closeFd(stderrFd_);
    throw std::runtime_error("cannot start " + options.argv[0] + ": " + std::strerror(rc));
  }
  reaper_ = std::thread([this] { reap(); });
}

ChildProcess::~ChildProcess() {
  closeStdin();
  if (!waitForExit(std::chrono::milliseconds(0))) ::kill(pid_, SIGKILL);
  reaper_.join();
  closeFd(stdoutFd_);
  closeFd(stderrFd_);
}

void ChildProcess::reap() {
  int status = 0;
  rusage usage{};
  pid_t r;
  do {
    r = ::wait4(pid_, &status, 0, &usage);
  } while (r < 0 && errno == EINTR);
  ChildExit e;
  e.status = WIFEXITED(status)     ? WEXITSTATUS(status)
             : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                   : -1;
  e.userSeconds = seconds(usage.ru_utime);
  e.systemSeconds = seconds(usage.ru_stime);
  e.cpuSeconds = e.userSeconds + e.systemSeconds;
  e.maxRssKb = usage.ru_maxrss;
  {
    std::lock_guard lock(mutex_);
    exit_ = e;
  }
  ended_.notify_all();
}

void ChildProcess::closeStdin() { closeFd(stdinFd_); }

int ChildProcess::takeStdout() { return std::exchange(stdoutFd_, -1); }

int ChildProcess::takeStderr() { return std::exchange(stderrFd_, -1); }

void ChildProcess::signal(int sig) {
  std::lock_guard lock(mutex_);
  // Until it is reaped the pid is still the child's, so the signal cannot reach another process.
  if (!exit_) ::kill(pid_, sig);
}

std::optional<ChildExit> ChildProcess::waitForExit(std::chrono::milliseconds wait) {
  std::unique_lock lock(mutex_);
  ended_.wait_for(lock, wait, [&] { return exit_.has_value(); });
  return exit_;
}

bool ChildProcess::running() { return !waitForExit(std::chrono::milliseconds(0)); }

ChildExit ChildProcess::terminate(std::chrono::milliseconds grace) {
  signal(SIGTERM);
  if (auto e = waitForExit(grace)) return *e;
  signal(SIGKILL);
  return *waitForExit(std::chrono::hours(1));
}

}  // namespace quorvel::support
