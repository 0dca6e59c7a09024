// quorvel-caption: live captions in the terminal, on the embeddable engine interface.
//
// Threads: the engine calls the observers on its own threads; they only queue the event and wake
// the main thread through a pipe. The SIGINT/SIGTERM handler sets a flag and writes to the same
// pipe; a second signal removes the temporary files and ends the program at once. Everything
// else (the engine's operations, all output, the subtitle files) runs on the main thread.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "caption_cli_options.h"
#include "caption_cues.h"
#include "caption_engine/api/caption_engine.h"
#include "caption_media_probe.h"
#include "caption_messages.h"
#include "caption_subtitle_file.h"
#include "caption_subtitles.h"
#include "caption_view.h"

#ifndef QUORVEL_VERSION
#define QUORVEL_VERSION "unknown"
#endif

namespace quorvel::tools {
namespace {

constexpr const char* kProgram = "quorvel-caption";
// Level readings come this many times a second of audio analysed.
constexpr int64_t kReadingsPerSecond = 24;

int gWakeWrite = -1;
volatile std::sig_atomic_t gInterrupted = 0;
// The copy of standard input being captioned, removed however the program ends.
char gSpoolPath[PATH_MAX + 1];
std::atomic<bool> gSpoolActive{false};

void removeSpool() {
  if (gSpoolActive.exchange(false)) ::unlink(gSpoolPath);
}

extern "C" void onSignal(int) {
  if (gInterrupted) {
    // A second Ctrl-C: the subtitle files already hold what was captioned (they are only ever
    // replaced whole); only temporary files are left to remove.
    CaptionSubtitleFile::cleanUpFromSignal();
    if (gSpoolActive.load()) ::unlink(gSpoolPath);
    _exit(130);
  }
  gInterrupted = 1;
  const int saved = errno;
  const char byte = 's';
  if (gWakeWrite >= 0) (void)!write(gWakeWrite, &byte, 1);
  errno = saved;
}

void installSignalHandlers() {
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

void complain(const std::string& message) { std::cerr << kProgram << ": " << message << "\n"; }

// Events handed from the engine's threads to the main thread.
class EventInbox {
 public:
  using Event = std::variant<CaptionSegmentEvent, CaptionStateEvent, CaptionAssetProgressEvent,
                             CaptionLevelReadingEvent, CaptionSourceEndedEvent, std::string>;

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

// Our wording of an engine error; with --verbose the engine's own text follows.
void complainAbout(const CaptionEngineError& e, const std::string& ours,
                   const CaptionCliOptions& o) {
  complain(ours);
  if (o.verbose) complain("engine: " + e.description());
}

int listInputs(CaptionEngine& engine) {
  const std::vector<CaptionAudioInput> inputs = engine.listInputs();
  // A running server always offers at least the monitor of some output.
  if (inputs.empty()) {
    complain(CaptionMessages::noSoundServer);
    return exitAudioUnavailable;
  }
  for (const CaptionAudioInput& in : inputs) {
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
    CaptionFailureContext context;
    context.locale = *o.installLocale;
    context.supportedLocales = engine.capabilities().supportedLocales;
    complainAbout(e, CaptionMessages::installFailure(e.code(), context), o);
    return exitCodeFor(e, o);
  }
}

// Copies standard input into a temporary file, so that the engine reads a file with an end.
// Returns its path, or nothing (after saying why) when it could not be made or Ctrl-C came.
std::optional<std::string> spoolStandardInput(CaptionView& view) {
  const char* dir = std::getenv("TMPDIR");
  std::string path = std::string(dir && *dir ? dir : "/tmp") + "/quorvel-caption-stdin-XXXXXX";
  const int out = ::mkostemp(path.data(), O_CLOEXEC);
  if (out < 0) {
    complain("cannot keep standard input in a temporary file: " + std::string(strerror(errno)));
    return std::nullopt;
  }
  if (path.size() <= PATH_MAX) {
    std::memcpy(gSpoolPath, path.c_str(), path.size() + 1);
    gSpoolActive.store(true);
  }
  std::vector<char> buffer(1 << 16);
  int64_t total = 0;
  bool ok = true;
  while (!gInterrupted) {
    const ssize_t n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      complain("cannot read standard input: " + std::string(strerror(errno)));
      ok = false;
      break;
    }
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(out, buffer.data() + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        complain("cannot keep standard input in " + path + ": " + strerror(errno));
        ok = false;
        break;
      }
      done += w;
    }
    if (!ok) break;
    const int64_t before = total;
    total += n;
    if (view.hasStatusLine() && before / (1 << 20) != total / (1 << 20)) {
      view.volatileText("reading standard input: " + std::to_string(total >> 20) + " MiB");
    }
  }
  ::close(out);
  view.volatileText("");
  if (!ok || gInterrupted) {
    removeSpool();
    return std::nullopt;
  }
  return path;
}

// The subtitle tracks of a session, rewritten as the finals come.
class SubtitleTracks {
 public:
  struct Track {
    Track(CaptionSubtitleFormat f, const std::string& path, CaptionCueLimits limits)
        : format(f), file(path), splitter(limits) {}
    CaptionSubtitleFormat format;
    CaptionSubtitleFile file;
    CaptionCueSplitter splitter;
    std::vector<CaptionCue> cues;
  };

  void add(CaptionSubtitleFormat format, const std::string& path, CaptionCueLimits limits) {
    tracks_.push_back(std::make_unique<Track>(format, path, limits));
  }
  std::vector<std::unique_ptr<Track>>& tracks() { return tracks_; }

  void addFinal(const CaptionSegmentEvent& s) {
    for (auto& t : tracks_) {
      for (CaptionCue& cue : t->splitter.split(s.text, s.tStartMs, s.tEndMs, s.words)) {
        t->cues.push_back(std::move(cue));
      }
    }
  }

  // Replaces every file with the cues so far; the reason of the first failure, if any.
  std::optional<std::string> write(bool durable) {
    std::optional<std::string> failure;
    for (auto& t : tracks_) {
      const std::string content = t->format == CaptionSubtitleFormat::srt
                                      ? CaptionSubtitles::srt(t->cues)
                                      : CaptionSubtitles::vtt(t->cues);
      if (auto error = t->file.replace(content, durable); error && !failure) {
        failure = "cannot write " + t->file.path() + ": " + *error;
      }
    }
    return failure;
  }

 private:
  std::vector<std::unique_ptr<Track>> tracks_;
};

int caption(CaptionEngine& engine, const CaptionCliOptions& o) {
  using Source = CaptionFailureContext::Source;
  CaptionFailureContext context;
  context.locale = o.locale;
  context.source = o.readsStandardInput()
                       ? Source::standardInput
                       : (o.file ? Source::file : (o.input ? Source::input : Source::defaultInput));
  if (o.file) context.file = *o.file;
  if (o.input) context.input = *o.input;

  if (o.readsStandardInput() && isatty(STDIN_FILENO)) {
    complain("standard input is a terminal, not audio; pipe the audio in (… | " +
             std::string(kProgram) + " -)");
    return exitBadArguments;
  }
  if (o.file && !o.readsStandardInput()) {
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
    if (!std::filesystem::is_regular_file(status)) {
      complain(*o.file + " is not a regular file; to caption a stream, pipe it in (… | " +
               std::string(kProgram) + " -)");
      return exitFileNotFound;
    }
  }

  // The subtitle files: refused before anything is captioned when they would destroy a file.
  SubtitleTracks subtitles;
  CaptionCueLimits limits;
  limits.maxLineLength = o.maxLineLength;
  limits.maxCueMs = static_cast<int64_t>(o.maxCueSeconds * 1000.0 + 0.5);
  const std::optional<std::string> audioPath =
      o.file && !o.readsStandardInput() ? o.file : std::nullopt;
  if (o.srtPath && o.vttPath && CaptionSubtitleFile::sameFile(*o.srtPath, *o.vttPath)) {
    complain("--srt and --vtt must name different files");
    return exitBadArguments;
  }
  for (auto [path, format] : {std::pair{&o.srtPath, CaptionSubtitleFormat::srt},
                              std::pair{&o.vttPath, CaptionSubtitleFormat::vtt}}) {
    if (!*path) continue;
    if (auto refusal = CaptionSubtitleFile::refusal(**path, format, audioPath)) {
      complain(*refusal);
      return exitBadArguments;
    }
    subtitles.add(format, **path, limits);
  }
  for (auto& track : subtitles.tracks()) {
    if (auto reason = track->file.cannotWrite()) {
      complain("cannot write " + track->file.path() + ": " + *reason);
      return exitCannotWrite;
    }
  }

  CaptionView view(o.json, o.meter);
  EventInbox inbox;
  gWakeWrite = inbox.writeFd();
  installSignalHandlers();

  // What is captioned: a file, standard input kept in a file, or an input of the sound server.
  std::optional<std::string> audioFile = audioPath;
  if (o.readsStandardInput()) {
    audioFile = spoolStandardInput(view);
    if (!audioFile) {
      view.clear();
      return gInterrupted ? exitOk : exitFileNotFound;
    }
  }
  if (!audioFile) {
    const std::vector<CaptionAudioInput> inputs = engine.listInputs();
    context.soundServer = !inputs.empty();
    if (!context.soundServer) {
      complain(CaptionMessages::noSoundServer);
      return exitAudioUnavailable;
    }
    const CaptionAudioInput* chosen = nullptr;
    for (const CaptionAudioInput& in : inputs) {
      if (o.input ? in.id == *o.input : in.isDefault) chosen = &in;
    }
    if (o.input && !chosen) {
      complain("unknown input device: " + *o.input + " (see --list-inputs)");
      return exitUnknownDevice;
    }
    if (chosen) context.inputLabel = chosen->label;
  }

  engine.setObservers([&] {
    CaptionEngineObservers observers([&](const CaptionSegmentEvent& e) { inbox.post(e); },
                                     [&](const CaptionStateEvent& e) { inbox.post(e); }, nullptr,
                                     [&](const CaptionAssetProgressEvent& e) { inbox.post(e); },
                                     [&](const std::string& line) { inbox.post(line); });
    observers.onSourceEnded = [&](const CaptionSourceEndedEvent& e) { inbox.post(e); };
    return observers;
  }());
  if (o.meter || (audioFile && view.hasStatusLine())) {
    engine.setLevelReadingObserver([&](const CaptionLevelReadingEvent& e) { inbox.post(e); });
  }

  CaptionEngineStartArgs args;
  args.sessionId = "quorvel-caption-" + std::to_string(getpid());
  args.locale = o.locale;
  if (audioFile) {
    args.source = CaptionAudioSource::file(*audioFile, o.paced);
  } else if (o.input) {
    args.source = CaptionAudioSource::device(*o.input);
  }
  args.terms = o.terms;
  args.profanityFilter = o.profanityFilter;
  args.installIfMissing = o.installIfMissing;

  bool sourceEnded = false;
  bool sessionFailed = false;
  std::optional<std::string> writeFailure;

  auto handle = [&](std::deque<EventInbox::Event> events) {
    for (auto& event : events) {
      if (auto* s = std::get_if<CaptionSegmentEvent>(&event)) {
        if (s->sessionId != args.sessionId) continue;
        if (s->kind == CaptionSegmentEvent::Kind::final) {
          view.final(*s);
          subtitles.addFinal(*s);
          if (auto failure = subtitles.write(false); failure && !writeFailure) {
            writeFailure = failure;
            view.message(std::string(kProgram) + ": " + *failure);
          }
        } else {
          view.audioReached(s->tEndMs);
          view.volatileText(s->text);
        }
      } else if (auto* st = std::get_if<CaptionStateEvent>(&event)) {
        if (st->sessionId && *st->sessionId != args.sessionId) continue;
        if (st->state == CaptionState::error) {
          sessionFailed = true;
          if (o.verbose && st->reason) view.message("engine: " + *st->reason);
        } else if (st->state == CaptionState::noAudio) {
          view.message(std::string(kProgram) + ": " + CaptionMessages::noSpeech(context));
        }
      } else if (auto* p = std::get_if<CaptionAssetProgressEvent>(&event)) {
        char line[160];
        std::snprintf(line, sizeof line, "%s: installing %s: %3.0f%%", kProgram, p->id.c_str(),
                      p->fraction * 100.0);
        view.message(line);
      } else if (auto* r = std::get_if<CaptionLevelReadingEvent>(&event)) {
        if (r->sessionId == args.sessionId) view.reading(*r, kReadingsPerSecond);
      } else if (auto* ended = std::get_if<CaptionSourceEndedEvent>(&event)) {
        if (ended->sessionId != args.sessionId) continue;
        view.audioReached(ended->audioMs);
        sourceEnded = true;
      } else if (auto* line = std::get_if<std::string>(&event)) {
        if (o.verbose) view.message(*line);
      }
    }
  };

  try {
    engine.start(args);
  } catch (const CaptionEngineError& e) {
    handle(inbox.take());
    view.clear();
    removeSpool();
    context.supportedLocales = engine.capabilities().supportedLocales;
    complainAbout(e, CaptionMessages::startFailure(e.code(), context), o);
    return exitCodeFor(e, o);
  }
  if (audioFile) {
    view.startProgress(probeDurationMs(*audioFile));
  } else {
    const std::string heard = !context.inputLabel.empty() ? context.inputLabel
                              : o.input                   ? *o.input
                                                          : std::string("the default input");
    view.message(std::string(kProgram) + ": listening on " + heard + " \u2014 Ctrl-C to stop");
  }

  while (!gInterrupted && !sourceEnded && !sessionFailed) handle(inbox.waitAndTake());

  // The session's last finals arrive before the stop returns.
  const CaptionEngineStopAck ack = engine.stop(args.sessionId);
  handle(inbox.take());
  view.clear();
  engine.setObservers(CaptionEngineObservers{});
  engine.setLevelReadingObserver(nullptr);
  gWakeWrite = -1;
  removeSpool();

  int code = exitOk;
  if (auto failure = subtitles.write(true)) {
    complain(*failure);
    code = exitCannotWrite;
  } else if (writeFailure) {
    code = exitCannotWrite;
  }
  std::cerr << kProgram << ": stopped: " << ack.finals << " finals, "
            << static_cast<int64_t>(ack.seconds) << " seconds\n";
  if (sessionFailed) {
    complain(CaptionMessages::sessionFailure(context));
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
  if (o.version) {
    std::cout << kProgram << " " << QUORVEL_VERSION << "\n";
    return exitOk;
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
