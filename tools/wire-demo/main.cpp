// quorvel-wire-demo HELPER AUDIO_FILE
//
// Plays host to the caption helper: starts it as a child process, sends a captionsStart for the
// audio file at real-time pace, shows the volatile text changing in place and every final as a
// line, stops the session when the file has been played, and closes the helper's input.
// Everything the helper writes is read as a host would: stdout as JSON lines, stderr as text.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

extern char** environ;

namespace {

using Json = nlohmann::ordered_json;

struct Child {
  pid_t pid = -1;
  int in = -1;   // our end of the helper's stdin
  int out = -1;  // the helper's stdout
  int err = -1;  // the helper's stderr
};

Child spawnHelper(const char* path) {
  int inPipe[2], outPipe[2], errPipe[2];
  if (pipe(inPipe) || pipe(outPipe) || pipe(errPipe)) {
    perror("pipe");
    std::exit(1);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  for (int fd : {inPipe[0], inPipe[1], outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) {
    posix_spawn_file_actions_addclose(&actions, fd);
  }
  Child c;
  char* argv[] = {const_cast<char*>(path), nullptr};
  if (posix_spawn(&c.pid, path, &actions, nullptr, argv, environ) != 0) {
    std::cerr << "cannot start " << path << "\n";
    std::exit(1);
  }
  posix_spawn_file_actions_destroy(&actions);
  close(inPipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);
  c.in = inPipe[1];
  c.out = outPipe[0];
  c.err = errPipe[0];
  return c;
}

void send(const Child& c, const Json& command) {
  const std::string line = command.dump() + "\n";
  if (write(c.in, line.data(), line.size()) < 0) perror("write");
}

// Splits what arrives on a descriptor into lines.
struct LineReader {
  int fd;
  std::string pending;
  bool closed = false;
  template <class F>
  void drain(F&& onLine) {
    char buf[4096];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) {
      closed = true;
      return;
    }
    pending.append(buf, static_cast<size_t>(n));
    size_t pos;
    while ((pos = pending.find('\n')) != std::string::npos) {
      onLine(pending.substr(0, pos));
      pending.erase(0, pos + 1);
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: quorvel-wire-demo HELPER AUDIO_FILE\n";
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  const bool tty = isatty(STDOUT_FILENO);
  Child helper = spawnHelper(argv[1]);
  LineReader out{helper.out, {}}, err{helper.err, {}};

  bool started = false, stopSent = false, inputClosed = false;
  std::string volatileText;
  const auto showVolatile = [&](const std::string& text) {
    if (!tty) return;
    std::string shown = text.size() > 110 ? "…" + text.substr(text.size() - 110) : text;
    std::cout << "\r\033[K\033[2m" << shown << "\033[0m" << std::flush;
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);

  while (!(out.closed && err.closed)) {
    if (std::chrono::steady_clock::now() > deadline) {
      std::cerr << "demo: the helper took too long; giving up\n";
      kill(helper.pid, SIGKILL);
      break;
    }
    pollfd fds[2] = {{helper.out, POLLIN, 0}, {helper.err, POLLIN, 0}};
    if (poll(fds, 2, 500) < 0) continue;
    if (!out.closed && (fds[0].revents & (POLLIN | POLLHUP))) {
      out.drain([&](const std::string& line) {
        const Json m = Json::parse(line, nullptr, false);
        if (m.is_discarded()) return;
        const std::string t = m.value("t", "");
        const std::string ev = m.value("ev", "");
        if (ev == "hello") {
          std::cout << "helper ready: " << m["data"].dump() << "\n";
          send(helper, {{"id", "1"},
                        {"op", "captionsStart"},
                        {"args",
                         {{"sessionId", "demo"},
                          {"locale", "en-US"},
                          {"source", {{"kind", "file"}, {"path", argv[2]}, {"paced", true}}}}}});
        } else if (ev == "captionSegment") {
          const Json& d = m["data"];
          const std::string text = d.value("text", "");
          if (d.value("kind", "") == "final") {
            std::cout << (tty ? "\r\033[K" : "") << "[" << d.value("tStartMs", 0) / 1000.0 << "s] "
                      << text << "\n"
                      << std::flush;
            volatileText.clear();
          } else {
            volatileText = text;
            showVolatile(text);
          }
        } else if (ev == "captionState") {
          const Json& d = m["data"];
          std::cout << (tty ? "\r\033[K" : "") << "state: " << d.value("state", "")
                    << (d.contains("reason") ? " (" + d["reason"].get<std::string>() + ")" : "")
                    << "\n";
          showVolatile(volatileText);
        } else if (t == "ack" && m.value("id", "") == "1") {
          started = true;
          std::cout << (tty ? "\r\033[K" : "") << "captioning " << argv[2] << " live\n";
        } else if (t == "ack" && m.value("id", "") == "2") {
          std::cout << (tty ? "\r\033[K" : "") << "stopped: " << m["result"].dump() << "\n";
          close(helper.in);
          inputClosed = true;
        } else if (t == "err") {
          std::cout << "error: " << m.value("code", "") << ": " << m.value("message", "") << "\n";
          if (!inputClosed) {
            close(helper.in);
            inputClosed = true;
          }
        }
      });
    }
    if (!err.closed && (fds[1].revents & (POLLIN | POLLHUP))) {
      err.drain([&](const std::string& line) {
        // The file producer says when the whole recording has been delivered.
        if (started && !stopSent && line.find("file source reached EOF") != std::string::npos) {
          send(helper, {{"id", "2"}, {"op", "captionsStop"}, {"args", {{"sessionId", "demo"}}}});
          stopSent = true;
        }
      });
    }
  }
  if (!inputClosed) close(helper.in);
  int status = 0;
  waitpid(helper.pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
