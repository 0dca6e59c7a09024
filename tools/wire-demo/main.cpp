// quorvel-wire-demo HELPER AUDIO_FILE
//
// Plays host to the caption helper: starts it as a child process, sends a captionsStart for the
// audio file at real-time pace, shows the volatile text changing in place and every final as a
// line, stops the session when the file has been played, and closes the helper's input.
// Everything the helper writes is read as a host would: stdout as JSON lines, stderr as text.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "tests/support/child_process.h"

namespace {

using Json = nlohmann::ordered_json;

void send(quorvel::support::ChildProcess& c, const Json& command) {
  const std::string line = command.dump() + "\n";
  if (c.stdinFd() >= 0 && write(c.stdinFd(), line.data(), line.size()) < 0) perror("write");
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
  const bool tty = isatty(STDOUT_FILENO);
  std::unique_ptr<quorvel::support::ChildProcess> child;
  try {
    child = std::make_unique<quorvel::support::ChildProcess>(
        quorvel::support::ChildProcess::Options{{argv[1]}});
  } catch (const std::exception& e) {
    std::cerr << e.what() << "\n";
    return 1;
  }
  quorvel::support::ChildProcess& helper = *child;
  LineReader out{helper.stdoutFd(), {}}, err{helper.stderrFd(), {}};

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
      helper.signal(SIGKILL);
      break;
    }
    pollfd fds[2] = {{helper.stdoutFd(), POLLIN, 0}, {helper.stderrFd(), POLLIN, 0}};
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
          helper.closeStdin();
          inputClosed = true;
        } else if (ev == "captionSourceEnded" && started && !stopSent) {
          // The whole recording has been played and its last words have come as finals.
          send(helper, {{"id", "2"}, {"op", "captionsStop"}, {"args", {{"sessionId", "demo"}}}});
          stopSent = true;
        } else if (t == "err") {
          std::cout << "error: " << m.value("code", "") << ": " << m.value("message", "") << "\n";
          if (!inputClosed) {
            helper.closeStdin();
            inputClosed = true;
          }
        }
      });
    }
    if (!err.closed && (fds[1].revents & (POLLIN | POLLHUP))) {
      err.drain([](const std::string&) {});  // diagnostics are not shown
    }
  }
  if (!inputClosed) helper.closeStdin();
  return helper.waitForExit(std::chrono::seconds(15))
      .value_or(quorvel::support::ChildExit{})
      .status;
}
