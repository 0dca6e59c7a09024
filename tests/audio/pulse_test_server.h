// Test support for capture against real sound servers: running pactl, pointing the client library
// at another server, loading modules for the life of an object, which server the tests run against
// (PulseAudio or PipeWire), and a server of that kind of a test's own that the test may kill and
// start again at the same address.
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
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
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

// Which sound server the tests run against, as scripts/run-tests.sh says (QUORVEL_TEST_SERVER):
// PulseAudio unless it names PipeWire. Private servers of a test are of the same kind.
enum class TestServerKind { pulseaudio, pipewire };
inline TestServerKind testServerKind() {
  const char* v = std::getenv("QUORVEL_TEST_SERVER");
  return v && std::string(v) == "pipewire" ? TestServerKind::pipewire : TestServerKind::pulseaudio;
}

// The module arguments of a source that delivers audio by itself at `rate`, with the given name and
// label: a sine source on PulseAudio; PipeWire has no sine module, so there a null sink made into a
// source (silent, but running at its own rate).
inline std::string selfRunningSource(const std::string& name, const std::string& label, int rate,
                                     int frequency) {
  if (testServerKind() == TestServerKind::pipewire) {
    return "module-null-sink sink_name=" + name +
           " media.class=Audio/Source/Virtual rate=" + std::to_string(rate) +
           " sink_properties=device.description=" + label;
  }
  return "module-sine-source source_name=" + name + " rate=" + std::to_string(rate) +
         " frequency=" + std::to_string(frequency) +
         " source_properties=device.description=" + label;
}

// A headless server of the test's own, of the kind the tests run against: its own directory and
// socket, no devices but what `script` adds (lines of load-module and set-default-source, as a
// PulseAudio script or pactl take them). start returns once it answers with the script applied;
// kill and stop end it by pid.
// - PulseAudio: one daemon. The test process becomes its reaper so that a killed server is gone
//   before it is started again.
// - PipeWire: the graph (pipewire), its session manager (wireplumber) and the PulseAudio-protocol
//   server (pipewire-pulse), all children of the test. kill ends only pipewire-pulse, which is the
//   server our capture talks to, and start brings it back with the script applied again; the
//   other two keep running, as they would on a desktop. No dummy output is made when there is no
//   sink, so a test's sources are the only inputs.
class PrivateServer {
 public:
  explicit PrivateServer(std::string script = "") : script_(std::move(script)) {}
  ~PrivateServer() { stop(); }
  PrivateServer(const PrivateServer&) = delete;
  PrivateServer& operator=(const PrivateServer&) = delete;

  std::string address() const {
    return "unix:" + dir_.file(kind_ == TestServerKind::pipewire ? "pulse/native" : "native");
  }

  bool start() { return kind_ == TestServerKind::pipewire ? startPipeWire() : startPulseAudio(); }

  // Makes `name` the default source and waits (up to 5 s) until the server names it: PipeWire's
  // session manager applies a new default a moment after it is asked for.
  bool setDefaultSource(const std::string& name) const {
    pactl("set-default-source " + name);
    for (int i = 0; i < 100; ++i) {
      if (pactl("get-default-source") == name) return true;
      poll(nullptr, 0, 50);
    }
    return false;
  }

  // Ends the server at once, as a crash would.
  void kill() { end(SIGKILL); }
  void stop() { end(SIGTERM); }

  // pactl against this server.
  std::string pactl(const std::string& arguments) const {
    return run("PULSE_SERVER=" + address() + " pactl " + arguments + " 2>/dev/null");
  }

 private:
  bool startPulseAudio() {
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

  bool startPipeWire() {
    if (pid_ > 0) return true;
    if (graphPid_ <= 0) {
      writePipeWireConfig();
      graphPid_ = spawnDaemon({"pipewire"}, "pipewire.log");
      const std::string socket = dir_.file("pipewire-0");
      for (int i = 0; i < 100 && graphPid_ > 0 && !std::filesystem::exists(socket); ++i)
        poll(nullptr, 0, 50);
      if (!std::filesystem::exists(socket)) return failed("pipewire.log");
      sessionPid_ = spawnDaemon({"wireplumber"}, "wireplumber.log");
    }
    pid_ = spawnDaemon({"pipewire-pulse"}, "pipewire-pulse.log");
    bool answers = false;
    for (int i = 0; i < 100 && pid_ > 0 && !answers; ++i) {
      answers = pactl("info >/dev/null && echo up") == "up";
      if (!answers) poll(nullptr, 0, 50);
    }
    if (!answers) return failed("pipewire-pulse.log");
    std::istringstream script(script_);
    for (std::string line; std::getline(script, line);) {
      const std::string setDefault = "set-default-source ";
      if (line.rfind(setDefault, 0) == 0) {
        if (!setDefaultSource(line.substr(setDefault.size()))) return failed("wireplumber.log");
      } else if (!line.empty() && pactl(line + " && echo done").empty()) {
        return failed("pipewire-pulse.log");
      }
    }
    return true;
  }

  // Headless: without D-Bus the session manager runs only with its portal and hardware monitors
  // off; the PulseAudio side loads nothing of its own (no dummy output).
  void writePipeWireConfig() const {
    std::filesystem::create_directories(dir_.path() / "config/wireplumber/main.lua.d");
    std::filesystem::create_directories(dir_.path() / "config/wireplumber/bluetooth.lua.d");
    std::filesystem::create_directories(dir_.path() / "config/pipewire");
    std::ofstream(dir_.file("config/wireplumber/main.lua.d/51-headless.lua"))
        << "default_access.properties[\"enable-flatpak-portal\"] = false\n"
           "alsa_monitor.enabled = false\n"
           "v4l2_monitor.enabled = false\n"
           "libcamera_monitor.enabled = false\n";
    std::ofstream(dir_.file("config/wireplumber/bluetooth.lua.d/51-headless.lua"))
        << "bluez_monitor.enabled = false\n";
    std::ofstream(dir_.file("config/pipewire/pipewire-pulse.conf"))
        << "context.spa-libs = {\n"
           "  audio.convert.* = audioconvert/libspa-audioconvert\n"
           "  support.* = support/libspa-support\n"
           "}\n"
           "context.modules = [\n"
           "  { name = libpipewire-module-protocol-native }\n"
           "  { name = libpipewire-module-client-node }\n"
           "  { name = libpipewire-module-adapter }\n"
           "  { name = libpipewire-module-metadata }\n"
           "  { name = libpipewire-module-protocol-pulse args = { } }\n"
           "]\n"
           "pulse.cmd = [ ]\n"
           "pulse.properties = { server.address = [ \"unix:native\" ] }\n";
  }

  // Starts one of PipeWire's daemons with the server's private directories, its output in `log`.
  pid_t spawnDaemon(std::vector<std::string> argv, const std::string& log) const {
    const std::string dir = dir_.path().string();
    const char* path = std::getenv("PATH");
    std::vector<std::string> env{"HOME=" + dir,
                                 "XDG_RUNTIME_DIR=" + dir,
                                 "XDG_CONFIG_HOME=" + dir + "/config",
                                 "XDG_STATE_HOME=" + dir + "/state",
                                 "XDG_DATA_HOME=" + dir + "/data",
                                 std::string("PATH=") + (path ? path : "/usr/bin:/bin")};
    std::vector<char*> args, envp;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, dir_.file(log).c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  }

  bool failed(const std::string& log) {
    std::ifstream text(dir_.file(log));
    std::cerr << "the private server did not start (" << log << "):\n" << text.rdbuf() << std::endl;
    stop();
    return false;
  }

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

  // Ends the server our capture talks to; a stop ends PipeWire's other two daemons after it.
  void end(int signal) {
    for (pid_t* pid : {&pid_, signal == SIGKILL ? nullptr : &sessionPid_,
                       signal == SIGKILL ? nullptr : &graphPid_}) {
      if (!pid || *pid <= 0) continue;
      ::kill(*pid, signal);
      waitpid(*pid, nullptr, 0);
      *pid = -1;
    }
  }

  const TestServerKind kind_ = testServerKind();
  TempDir dir_;
  std::string script_;
  pid_t pid_ = -1;         // the server: the PulseAudio daemon, or pipewire-pulse
  pid_t sessionPid_ = -1;  // PipeWire's wireplumber
  pid_t graphPid_ = -1;    // PipeWire's pipewire
};

}  // namespace quorvel::testing
