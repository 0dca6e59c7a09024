// Test support for capture against real sound servers: running pactl, pointing the client library
// at another server, loading modules for the life of an object, and a PulseAudio server of a
// test's own that the test may kill and start again at the same address.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "tests/audio/audio_test_support.h"

namespace quorvel::testing {

// Runs a shell command and returns its output without the trailing newline.
inline std::string run(const std::string& command) {
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, p)) out += line;
    pclose(p);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

// Points the client library (and pactl) at another server address for the life of the object.
// Make it before, and so release it after, any producer that talks to that server.
class ServerAddress {
 public:
  explicit ServerAddress(const std::string& address) {
    if (const char* old = std::getenv("PULSE_SERVER")) old_ = old;
    setenv("PULSE_SERVER", address.c_str(), 1);
  }
  ~ServerAddress() {
    if (old_) {
      setenv("PULSE_SERVER", old_->c_str(), 1);
    } else {
      unsetenv("PULSE_SERVER");
    }
  }
  ServerAddress(const ServerAddress&) = delete;
  ServerAddress& operator=(const ServerAddress&) = delete;

 private:
  std::optional<std::string> old_;
};

// Loads a module into the server (the one PULSE_SERVER names) until unload or the end of the
// object's life; load again loads it anew.
class ServerModule {
 public:
  explicit ServerModule(std::string arguments) : arguments_(std::move(arguments)) { load(); }
  ~ServerModule() { unload(); }
  ServerModule(const ServerModule&) = delete;
  ServerModule& operator=(const ServerModule&) = delete;

  bool load() {
    if (index_.empty()) index_ = run("pactl load-module " + arguments_ + " 2>/dev/null");
    return loaded();
  }
  void unload() {
    if (!index_.empty()) std::system(("pactl unload-module " + index_ + " 2>/dev/null").c_str());
    index_.clear();
  }
  bool loaded() const { return !index_.empty(); }

 private:
  std::string arguments_;
  std::string index_;
};

// A headless PulseAudio server of the test's own: its own directory and socket, no modules but
// the native protocol and whatever `script` adds. start returns once it answers (the daemon's
// launcher waits for that); kill and stop end it by pid. The test process becomes the daemon's
// reaper so that a killed server is gone before it is started again.
class PrivateServer {
 public:
  explicit PrivateServer(std::string script = "") : script_(std::move(script)) {}
  ~PrivateServer() { stop(); }
  PrivateServer(const PrivateServer&) = delete;
  PrivateServer& operator=(const PrivateServer&) = delete;

  std::string address() const { return "unix:" + dir_.file("native"); }

  bool start() {
    if (pid_ > 0) return true;
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    {
      std::ofstream pa(dir_.file("test.pa"));
      pa << "load-module module-native-protocol-unix auth-anonymous=1 socket="
         << dir_.file("native") << "\n"
         << script_;
    }
    const std::string dir = dir_.path().string();
    std::vector<std::string> argv{"pulseaudio",
                                  "-n",
                                  "-F",
                                  dir_.file("test.pa"),
                                  "--daemonize=yes",
                                  "--use-pid-file=yes",
                                  "--exit-idle-time=-1",
                                  "--disallow-exit",
                                  "--log-target=file:" + dir_.file("pa.log")};
    const char* path = std::getenv("PATH");
    std::vector<std::string> env{"HOME=" + dir, "XDG_RUNTIME_DIR=" + dir,
                                 std::string("PATH=") + (path ? path : "/usr/bin:/bin")};
    std::vector<char*> args, envp;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t launcher = -1;
    const bool spawned =
        posix_spawnp(&launcher, "pulseaudio", &actions, nullptr, args.data(), envp.data()) == 0;
    posix_spawn_file_actions_destroy(&actions);
    if (!spawned) return false;
    int status = 0;
    waitpid(launcher, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
      std::ifstream pidFile(dir_.file("pulse/pid"));
      pidFile >> pid_;
    }
    if (pid_ > 0) adoptDaemon();
    if (pid_ <= 0) {
      std::ifstream log(dir_.file("pa.log"));
      std::cerr << "the private server did not start:\n" << log.rdbuf() << std::endl;
    }
    return pid_ > 0;
  }

  // Ends the server at once, as a crash would.
  void kill() { end(SIGKILL); }
  void stop() { end(SIGTERM); }

  // pactl against this server.
  std::string pactl(const std::string& arguments) const {
    return run("PULSE_SERVER=" + address() + " pactl " + arguments + " 2>/dev/null");
  }

 private:
  // The daemon is forked twice; the process between it and the launcher may outlive the launcher
  // for a moment. Once that one has ended (it is ours to reap, as is the daemon from then on),
  // ending the daemon can be waited for, so that a new one finds no running server in its place.
  void adoptDaemon() {
    pid_t parent = -1;
    {
      std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
      std::string pid, name, state;
      stat >> pid >> name >> state >> parent;
    }
    if (parent <= 0 || parent == getpid()) return;
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, parent, 0));
    if (fd < 0) return;  // already gone
    pollfd exited{fd, POLLIN, 0};
    poll(&exited, 1, 5000);
    close(fd);
    waitpid(parent, nullptr, WNOHANG);
  }

  void end(int signal) {
    if (pid_ <= 0) return;
    ::kill(pid_, signal);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  TempDir dir_;
  std::string script_;
  pid_t pid_ = -1;
};

}  // namespace quorvel::testing
