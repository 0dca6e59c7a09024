// quorvel-caption: live captions in the terminal, on the embeddable engine interface.
//
// Threads: the engine calls the observers on its own threads; they only queue the event and wake
// the main thread through a pipe. The SIGINT/SIGTERM handler only sets a flag and writes to the
// same pipe. Everything else (the engine's operations, all output) runs on the main thread.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "caption_cli_options.h"
#include "caption_engine/api/caption_engine.h"
#include "caption_subtitles.h"

namespace quorvel::tools {
namespace {

constexpr const char* kProgram = "quorvel-caption";
constexpr const char* kEofLine = "[captions] file source reached EOF after";

int gWakeWrite = -1;
volatile std::sig_atomic_t gInterrupted = 0;

extern "C" void onSignal(int) {
  gInterrupted = 1;
  const int saved = errno;
  const char byte = 's';
  if (gWakeWrite >= 0) (void)!write(gWakeWrite, &byte, 1);
  errno = saved;
}

void complain(const std::string& message) { std::cerr << kProgram << ": " << message << "\n"; }

// Events handed from the engine's threads to the main thread.
class EventInbox {
 public:
  using Event = std::variant<CaptionSegmentEvent, CaptionStateEvent, CaptionAssetProgressEvent,
                             CaptionLevelReadingEvent, std::string>;

  EventInbox() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
      readFd_ = fds[0];
      writeFd_ = fds[1];
    }
  }
  ~EventInbox() {
    if (readFd_ >= 0) close(readFd_);
    if (writeFd_ >= 0) close(writeFd_);
  }
  int writeFd() const { return writeFd_; }

  void post(Event e) {
    {
      std::lock_guard guard(mutex_);
      queue_.push_back(std::move(e));
    }
    const char byte = 'e';
    (void)!write(writeFd_, &byte, 1);  // a full pipe already holds a wake-up
  }

  // Blocks until an event or a signal arrives; then returns what has been queued.
  std::deque<Event> waitAndTake() {
    pollfd p{readFd_, POLLIN, 0};
    while (true) {
      {
        std::lock_guard guard(mutex_);
        if (!queue_.empty()) break;
      }
      if (gInterrupted) break;
      if (poll(&p, 1, -1) < 0 && errno != EINTR) break;
      char buf[256];
      while (read(readFd_, buf, sizeof buf) > 0) {
      }
    }
    return take();
  }

  std::deque<Event> take() {
    std::lock_guard guard(mutex_);
    return std::exchange(queue_, {});
  }

 private:
  std::mutex mutex_;
  std::deque<Event> queue_;  // guarded by mutex_
  int readFd_ = -1;
  int writeFd_ = -1;
};

// Terminal output: finals scroll, the volatile text (and the meter) update in place on a
// terminal; off a terminal only the finals are printed, one line each.
class CaptionView {
 public:
  CaptionView(bool meter) : tty_(isatty(STDOUT_FILENO) != 0), meter_(meter) {}

  void final(const std::string& text) {
    volatile_.clear();
    if (tty_) {
      std::cout << "\r\033[2K" << text << "\n";
      redraw();
    } else {
      std::cout << text << "\n";
    }
    std::cout.flush();
  }

  void volatileText(const std::string& text) {
    volatile_ = text;
    if (tty_) redraw();
  }

  void reading(const CaptionLevelReadingEvent& r) {
    meterLine_ = meterText(r);
    if (tty_) {
      redraw();
    } else if (meter_ && readings_++ % 6 == 0) {
      std::cerr << "level " << meterLine_ << "\n";  // four lines a second
    }
  }

  void clear() {
    volatile_.clear();
    meterLine_.clear();
    if (tty_) std::cout << "\r\033[2K" << std::flush;
  }

 private:
  static size_t columns() {
    winsize ws{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
  }

  // Code points of UTF-8 text, so that lines are cut between characters.
  static std::vector<std::string> glyphs(const std::string& s) {
    std::vector<std::string> out;
    for (size_t i = 0; i < s.size();) {
      size_t n = 1;
      const unsigned char c = static_cast<unsigned char>(s[i]);
      if (c >= 0xF0)
        n = 4;
      else if (c >= 0xE0)
        n = 3;
      else if (c >= 0xC0)
        n = 2;
      out.push_back(s.substr(i, n));
      i += n;
    }
    return out;
  }

  static std::string meterText(const CaptionLevelReadingEvent& r) {
    static const char* blocks[] = {" ", "▁", "▂", "▃", "▄", "▅", "▆", "▇", "█"};
    // Level bar over -60…0 dBFS.
    const int width = 16;
    int filled = static_cast<int>((r.levelDb + 60.0) / 60.0 * width + 0.5);
    filled = std::clamp(filled, 0, width);
    std::string bar;
    for (int i = 0; i < width; ++i) bar += i < filled ? "█" : "·";
    char db[16];
    std::snprintf(db, sizeof db, "%4.0f dB ", std::max(r.levelDb, -120.0));
    std::string bands;
    // Band levels over -90…-20 dB, one block each, low to high.
    for (double b : r.bandsDb) {
      int level = static_cast<int>((b + 90.0) / 70.0 * 8.0 + 0.5);
      bands += blocks[std::clamp(level, 0, 8)];
    }
    return bar + db + bands;
  }

  void redraw() {
    std::string line;
    if (meter_ && !meterLine_.empty()) line = meterLine_ + " ";
    const size_t width = columns() - 1;
    auto meterGlyphs = glyphs(line).size();
    auto text = glyphs(volatile_);
    std::string shown;
    if (meterGlyphs < width) {
      const size_t room = width - meterGlyphs;
      size_t from = text.size() > room ? text.size() - room + 1 : 0;
      if (from > 0) shown = "…";
      for (size_t i = from; i < text.size(); ++i) shown += text[i];
    }
    std::cout << "\r\033[2K" << line << shown << std::flush;
  }

  bool tty_;
  bool meter_;
  std::string volatile_;
  std::string meterLine_;
  uint64_t readings_ = 0;
};

int exitCodeFor(const CaptionEngineError& e, const CaptionCliOptions& o) {
  switch (e.code()) {
    case CaptionEngineErrorCode::unsupported:
      return exitUnsupported;
    case CaptionEngineErrorCode::modelMissing:
      return exitModelMissing;
    case CaptionEngineErrorCode::audioUnavailable:
      return o.input ? exitUnknownDevice : exitAudioUnavailable;
    case CaptionEngineErrorCode::startFailed:
      return exitFailed;
  }
  return exitFailed;
}

bool writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  out.close();
  return static_cast<bool>(out);
}

// Opens (and so creates) a subtitle file before the session starts, so that an unwritable path
// is reported before any audio is captioned.
bool canWrite(const std::string& path) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  return static_cast<bool>(out);
}

int listInputs(CaptionEngine& engine) {
  for (const CaptionAudioInput& in : engine.listInputs()) {
    std::cout << (in.isDefault ? "* " : "  ") << in.id << "\t" << in.label << "\t"
              << rawValue(in.kind);
    if (in.note) std::cout << "\t" << *in.note;
    std::cout << "\n";
  }
  return exitOk;
}

int installLocale(CaptionEngine& engine, const CaptionCliOptions& o) {
  engine.setObservers(CaptionEngineObservers(
      nullptr, nullptr, nullptr,
      [](const CaptionAssetProgressEvent& p) {
        // Progress lines come from the engine's threads; one whole line per write.
        char line[160];
        std::snprintf(line, sizeof line, "%s: installing %s: %3.0f%%%s\n", kProgram, p.id.c_str(),
                      p.fraction * 100.0, p.done ? " (done)" : "");
        std::cerr << line << std::flush;
      },
      nullptr));
  try {
    const bool installed = engine.installLocale(*o.installLocale);
    std::cout << *o.installLocale << (installed ? " installed" : " was already installed") << "\n";
    return exitOk;
  } catch (const CaptionEngineError& e) {
    complain(e.description());
    return exitCodeFor(e, o);
  }
}

int caption(CaptionEngine& engine, const CaptionCliOptions& o) {
  if (o.input) {
    bool known = false;
    for (const auto& in : engine.listInputs()) known = known || in.id == *o.input;
    if (!known) {
      complain("unknown input device: " + *o.input + " (see --list-inputs)");
      return exitUnknownDevice;
    }
  }

  EventInbox inbox;
  gWakeWrite = inbox.writeFd();
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sa.sa_flags = SA_RESETHAND;  // a second Ctrl-C ends the program at once
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  engine.setObservers(
      CaptionEngineObservers([&](const CaptionSegmentEvent& e) { inbox.post(e); },
                             [&](const CaptionStateEvent& e) { inbox.post(e); }, nullptr,
                             [&](const CaptionAssetProgressEvent& e) { inbox.post(e); },
                             [&](const std::string& line) { inbox.post(line); }));
  if (o.meter) {
    engine.setLevelReadingObserver([&](const CaptionLevelReadingEvent& e) { inbox.post(e); });
  }

  CaptionEngineStartArgs args;
  args.sessionId = "quorvel-caption-" + std::to_string(getpid());
  args.locale = o.locale;
  if (o.file) {
    args.source = CaptionAudioSource::file(*o.file, o.paced);
  } else if (o.input) {
    args.source = CaptionAudioSource::device(*o.input);
  }
  args.terms = o.terms;
  args.profanityFilter = o.profanityFilter;
  args.installIfMissing = o.installIfMissing;

  CaptionView view(o.meter);
  std::vector<CaptionCue> cues;
  bool sourceEnded = false;
  std::optional<std::string> sessionFailure;

  auto handle = [&](std::deque<EventInbox::Event> events) {
    for (auto& event : events) {
      if (auto* s = std::get_if<CaptionSegmentEvent>(&event)) {
        if (s->sessionId != args.sessionId) continue;
        if (s->kind == CaptionSegmentEvent::Kind::final) {
          view.final(s->text);
          cues.push_back(CaptionCue{s->tStartMs, s->tEndMs, s->text});
        } else {
          view.volatileText(s->text);
        }
      } else if (auto* st = std::get_if<CaptionStateEvent>(&event)) {
        if (st->sessionId && *st->sessionId != args.sessionId) continue;
        if (st->state == CaptionState::error) {
          sessionFailure = st->reason.value_or("the session failed");
        } else if (st->state == CaptionState::noAudio) {
          view.clear();
          complain("no speech heard for a while");
        }
      } else if (auto* p = std::get_if<CaptionAssetProgressEvent>(&event)) {
        char line[160];
        std::snprintf(line, sizeof line, "installing %s: %3.0f%%", p->id.c_str(),
                      p->fraction * 100.0);
        complain(line);
      } else if (auto* r = std::get_if<CaptionLevelReadingEvent>(&event)) {
        if (r->sessionId == args.sessionId) view.reading(*r);
      } else if (auto* line = std::get_if<std::string>(&event)) {
        if (o.verbose) std::cerr << *line << "\n";
        if (line->find(kEofLine) != std::string::npos) sourceEnded = true;
      }
    }
  };

  try {
    engine.start(args);
  } catch (const CaptionEngineError& e) {
    handle(inbox.take());
    view.clear();
    complain(e.description());
    return exitCodeFor(e, o);
  }

  while (!gInterrupted && !sourceEnded && !sessionFailure) handle(inbox.waitAndTake());

  // The session's last finals arrive before the stop returns.
  const CaptionEngineStopAck ack = engine.stop(args.sessionId);
  handle(inbox.take());
  view.clear();
  engine.setObservers(CaptionEngineObservers{});
  engine.setLevelReadingObserver(nullptr);
  gWakeWrite = -1;

  int code = exitOk;
  if (o.srtPath && !writeFile(*o.srtPath, CaptionSubtitles::srt(cues))) {
    complain("cannot write " + *o.srtPath);
    code = exitCannotWrite;
  }
  if (o.vttPath && !writeFile(*o.vttPath, CaptionSubtitles::vtt(cues))) {
    complain("cannot write " + *o.vttPath);
    code = exitCannotWrite;
  }
  std::cerr << kProgram << ": stopped: " << ack.finals << " finals, "
            << static_cast<int64_t>(ack.seconds) << " seconds\n";
  if (sessionFailure) {
    complain("the session failed: " + *sessionFailure);
    return exitFailed;
  }
  return code;
}

int run(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  auto parsed = CaptionCliOptions::parse(args);
  if (auto* error = std::get_if<CaptionCliOptions::Error>(&parsed)) {
    complain(error->message);
    std::cerr << "Try '" << kProgram << " --help'.\n";
    return exitBadArguments;
  }
  const auto& o = std::get<CaptionCliOptions>(parsed);
  if (o.help) {
    std::cout << CaptionCliOptions::usage();
    return exitOk;
  }
  if (o.file) {
    std::error_code ec;
    const auto status = std::filesystem::status(*o.file, ec);
    if (ec || !std::filesystem::exists(status)) {
      complain("no such audio file: " + *o.file);
      return exitFileNotFound;
    }
    if (std::filesystem::is_directory(status) || access(o.file->c_str(), R_OK) != 0) {
      complain("cannot read audio file: " + *o.file);
      return exitFileNotFound;
    }
  }
  for (const auto* path : {&o.srtPath, &o.vttPath}) {
    if (*path && !canWrite(**path)) {
      complain("cannot write " + **path);
      return exitCannotWrite;
    }
  }

  // --model: a private model store for this run whose locale is the given model directory
  // (linked, not copied), so the engine runs it as that locale's installed neural model.
  std::optional<std::filesystem::path> privateStore;
  struct RemoveStore {
    std::optional<std::filesystem::path>& dir;
    ~RemoveStore() {
      std::error_code ec;
      if (dir) std::filesystem::remove_all(*dir, ec);
    }
  } removeStore{privateStore};
  if (o.modelDir) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path model = fs::absolute(*o.modelDir, ec);
    if (ec || !fs::is_regular_file(model / "tokens.txt", ec)) {
      complain("no streaming model in " + *o.modelDir + " (it needs tokens.txt and .onnx files)");
      return exitModelMissing;
    }
    std::string pattern = (fs::temp_directory_path() / "quorvel-caption-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
      complain("cannot make a temporary model store");
      return exitFailed;
    }
    privateStore = pattern;
    const fs::path target = *privateStore / "quorvel" / "models" / o.locale;
    fs::create_directories(target, ec);
    for (fs::directory_iterator it(model, ec), end; !ec && it != end; it.increment(ec))
      fs::create_symlink(it->path(), target / it->path().filename(), ec);
    std::ofstream(target / "model.json")
        << "{\"locale\": \"" << o.locale << "\", \"engine\": \"sherpa\"}\n";
    setenv("XDG_DATA_HOME", privateStore->c_str(), 1);
  }

  auto engine = CaptionEngines::makeDefault();
  if (o.listInputs) return listInputs(*engine);
  if (o.installLocale) return installLocale(*engine, o);
  return caption(*engine, o);
}

}  // namespace
}  // namespace quorvel::tools

int main(int argc, char** argv) { return quorvel::tools::run(argc, argv); }
