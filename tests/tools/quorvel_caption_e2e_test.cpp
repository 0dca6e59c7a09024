// quorvel-caption driven as a user's shell would: arguments in, exit status, standard output
// and standard error out, over pipes (so its output is not a terminal: one line per final), or on
// a terminal where what it shows there is tested.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "tests/support/temp_dir.h"
#include "tests/support/wav_file.h"
#include "tests/tools/tool_process.h"

namespace quorvel::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string kTool = std::string(QUORVEL_BINARY_DIR) + "/bin/quorvel-caption";
const std::string kLibrivox = "/usr/share/pocketsphinx/test/data/librivox/";

struct Cue {
  int number = 0;
  int64_t startMs = 0;
  int64_t endMs = 0;
  std::vector<std::string> lines;
  std::string text() const {
    std::string t;
    for (const auto& l : lines) t += (t.empty() ? "" : " ") + l;
    return t;
  }
};

int64_t parseTime(const std::smatch& m, size_t first) {
  return ((std::stoll(m[first]) * 60 + std::stoll(m[first + 1])) * 60 + std::stoll(m[first + 2])) *
             1000 +
         std::stoll(m[first + 3]);
}

// Cues of a SubRip (separator ',') or WebVTT (separator '.') file; a malformed block fails.
std::vector<Cue> parseCues(const std::string& content, char separator, bool numbered) {
  const std::string sep = separator == ',' ? "," : "\\.";
  const std::regex times("^(\\d{2,}):(\\d{2}):(\\d{2})" + sep +
                         "(\\d{3}) --> (\\d{2,}):(\\d{2}):(\\d{2})" + sep + "(\\d{3})$");
  std::vector<Cue> cues;
  std::istringstream in(content);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    Cue cue;
    if (numbered) {
      cue.number = std::stoi(line);
      EXPECT_TRUE(std::getline(in, line));
    }
    std::smatch m;
    if (!std::regex_match(line, m, times)) {
      ADD_FAILURE() << "not a cue timing line: " << line;
      return cues;
    }
    cue.startMs = parseTime(m, 1);
    cue.endMs = parseTime(m, 5);
    while (std::getline(in, line) && !line.empty()) cue.lines.push_back(line);
    EXPECT_FALSE(cue.lines.empty()) << "a cue without text";
    cues.push_back(cue);
  }
  return cues;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

using support::TempDir;

// The librivox recordings (16 kHz mono 16-bit, 24.7 s together) joined into one WAV file, with
// `gapSeconds` of silence after each (a second: each ends in its own final line; none: the
// speech runs on), `times` over.
bool joinRecordings(const std::vector<std::string>& paths, const std::string& out,
                    int gapSeconds = 1, int times = 1) {
  support::WavAudio once;
  for (const auto& path : paths) {
    const auto wav = support::readWav(path);
    if (!wav || wav->sampleRate != 16000 || wav->channels != 1) return false;
    once.sampleRate = wav->sampleRate;
    once.samples.insert(once.samples.end(), wav->samples.begin(), wav->samples.end());
    once.appendSilence(int64_t{1000} * gapSeconds);
  }
  support::WavAudio joined = once;
  for (int i = 1; i < times; ++i)
    joined.samples.insert(joined.samples.end(), once.samples.begin(), once.samples.end());
  return support::writeWav(out, joined);
}

std::vector<std::string> librivoxParts() {
  std::vector<std::string> parts;
  for (const char* n : {"0870", "0880", "0890", "0920", "0930"}) {
    parts.push_back(kLibrivox + "sense_and_sensibility_01_austen_64kb-" + n + ".wav");
  }
  return parts;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::vector<std::string> wordsOf(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

// Code points, as subtitle line lengths count them.
size_t width(const std::string& s) {
  size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

// Subtitles as usually made: at most two lines of at most maxLine characters, at most maxMs on
// screen, in order and never overlapping, within the audio.
void expectConventionalCues(const std::vector<Cue>& cues, size_t maxLine, int64_t maxMs,
                            int64_t audioMs) {
  int64_t previousEnd = 0;
  for (const Cue& cue : cues) {
    SCOPED_TRACE("cue " + std::to_string(cue.number) + ": " + cue.text());
    EXPECT_LE(cue.lines.size(), 2u);
    for (const std::string& line : cue.lines) EXPECT_LE(width(line), maxLine) << line;
    EXPECT_GE(cue.startMs, previousEnd);
    EXPECT_LE(cue.startMs, cue.endMs);
    EXPECT_LE(cue.endMs - cue.startMs, maxMs);
    EXPECT_LE(cue.endMs, audioMs);
    previousEnd = cue.endMs;
  }
}

// What the engine's own texts say of other platforms and of protocol fields; users never see it.
void expectOurOwnWords(const std::string& text) {
  for (const char* foreign : {"Mac", "macOS", "SpeechTranscriber", "SpeechAnalyzer",
                              "System Settings", "installIfMissing", "CAPTIONS_"}) {
    EXPECT_EQ(text.find(foreign), std::string::npos) << text;
  }
}

bool hasRecognizer() {
#ifdef QUORVEL_TEST_HAS_RECOGNIZER
  return true;
#else
  return false;
#endif
}

TEST(QuorvelCaption, HelpListsTheExitCodes) {
  ToolRun run = runTool(kTool, {"--help"}, 30s);
  ASSERT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("Usage: quorvel-caption"), std::string::npos);
  for (const char* code : {"  2  bad arguments", "  3  the audio file", "  4  unknown input device",
                           "  5  the locale's speech model is missing"}) {
    EXPECT_NE(run.out.find(code), std::string::npos) << code;
  }
  for (const char* flag :
       {"--json", "--max-line-length N", "--max-cue-seconds S", "--version", "  -  "}) {
    EXPECT_NE(run.out.find(flag), std::string::npos) << flag;
  }
}

TEST(QuorvelCaption, VersionPrintsTheVersion) {
  ToolRun run = runTool(kTool, {"--version"}, 30s);
  ASSERT_EQ(run.status, 0);
  EXPECT_TRUE(std::regex_match(run.out, std::regex("quorvel-caption \\d+\\.\\d+\\.\\d+\n")))
      << run.out;
}

TEST(QuorvelCaption, DistinctExitCodesForEachKindOfMistake) {
  TempDir dir;
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string message;
  };
  const std::vector<Case> cases{
      {{"--bogus"}, 2, "unknown option --bogus"},
      {{"--locale"}, 2, "--locale needs a value"},
      {{"--input", "x", dir.file("a.wav")}, 2, "not both"},
      {{dir.file("missing.wav")}, 3, "no such audio file: " + dir.file("missing.wav")},
      {{"/"}, 3, "cannot read audio file: /"},
      {{"--input", "no-such-device-anywhere"}, 4, "unknown input device: no-such-device-anywhere"},
      {{"--srt", "/nonexistent-dir/x.srt", "/"}, 3, "cannot read audio file"},
      {{"--srt", "/nonexistent-dir/x.srt"}, 8, "cannot write /nonexistent-dir/x.srt"},
      {{"--max-line-length", "0"}, 2, "--max-line-length needs a whole number"},
      {{"--max-cue-seconds", "soon"}, 2, "--max-cue-seconds needs a number of seconds"},
  };
  for (const Case& c : cases) {
    ToolRun run = runTool(kTool, c.args, 60s);
    EXPECT_EQ(run.status, c.status) << c.args[0] << "\n" << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }
}

// `quorvel-caption --srt lecture.m4a` (a slip whisper's -osrt invites) used to caption the
// microphone and leave lecture.m4a empty; `--srt in.wav in.wav` emptied the input.
TEST(QuorvelCaption, SubtitlePathsThatWouldDestroyAFileAreRefusedAndTheFileIsKept) {
  TempDir dir;
  const std::string audio = dir.file("in.wav");
  fs::copy_file(kLibrivox + "sense_and_sensibility_01_austen_64kb-0880.wav", audio);
  const std::string lecture = dir.file("lecture.m4a");
  fs::copy_file(audio, lecture);
  std::ofstream(dir.file("notes.txt")) << "my notes\n";
  std::ofstream(dir.file("old.vtt")) << "WEBVTT\n\n00:00:01.000 --> 00:00:02.000\nhi\n\n";
  struct Case {
    std::vector<std::string> args;
    std::string named;
  };
  const std::vector<Case> cases{
      {{"--srt", lecture}, lecture},
      {{"--srt", audio, audio}, audio},
      {{"--vtt", dir.path().string() + "/./in.wav", audio}, dir.path().string() + "/./in.wav"},
      {{"--srt", dir.file("notes.txt"), audio}, dir.file("notes.txt")},
      {{"--srt", dir.file("old.vtt"), audio}, dir.file("old.vtt")},
      {{"--vtt", dir.file("new.vtt"), "--srt", lecture, audio}, lecture},
  };
  std::map<std::string, std::string> before;
  for (const std::string& name : dir.names()) before[name] = slurp(dir.file(name));
  for (const Case& c : cases) {
    ToolRun run = runTool(kTool, c.args, 60s);
    EXPECT_EQ(run.status, 2) << c.args[1] << "\n" << run.err;
    EXPECT_NE(run.err.find(c.named), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }
  // Nothing was written, created or left behind.
  EXPECT_EQ(dir.names(),
            (std::vector<std::string>{"in.wav", "lecture.m4a", "notes.txt", "old.vtt"}));
  for (const auto& [name, content] : before) EXPECT_EQ(slurp(dir.file(name)), content) << name;
}

// Without a sound server there is nothing to list or hear, and our tools say so in Linux terms.
TEST(QuorvelCaption, WithoutASoundServerInputsAndLiveRunsSaySo) {
  TempDir runtime;
  ToolProcess::Options noServer;
  noServer.env = {"PULSE_SERVER=unix:" + runtime.file("no-such-socket"),
                  "XDG_RUNTIME_DIR=" + runtime.path().string()};
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--list-inputs"}, std::vector<std::string>{},
        std::vector<std::string>{"--input", "ci_mic"}}) {
    ToolRun run = runTool(kTool, args, 60s, noServer);
    EXPECT_EQ(run.status, 7) << run.err;
    EXPECT_NE(run.err.find("no sound server running (PulseAudio or PipeWire)"), std::string::npos)
        << run.err;
    EXPECT_EQ(run.out, "");
  }
}

TEST(QuorvelCaption, ListsInputs) {
  ToolRun run = runTool(kTool, {"--list-inputs"}, 60s);
  EXPECT_EQ(run.status, 0) << run.err;
  // One input per line, the default marked.
  std::istringstream lines(run.out);
  std::string line;
  while (std::getline(lines, line))
    EXPECT_TRUE(line.rfind("* ", 0) == 0 || line.rfind("  ", 0) == 0);
}

TEST(QuorvelCaption, WithoutARecognizerAFileIsRefusedAsUnsupported) {
  if (hasRecognizer()) GTEST_SKIP() << "this build has a recognizer";
  const std::string recording = kLibrivox + "sense_and_sensibility_01_austen_64kb-0870.wav";
  ToolRun run = runTool(kTool, {"--unpaced", recording}, 60s);
  EXPECT_EQ(run.status, 6);
  // Said in our words, not in the engine's (which speak of another platform's version)...
  EXPECT_NE(run.err.find("captions are not available: this build of the engine has no speech "
                         "recognizer"),
            std::string::npos)
      << run.err;
  expectOurOwnWords(run.err);
  // ...which --verbose shows as well.
  ToolRun verbose = runTool(kTool, {"--verbose", "--unpaced", recording}, 60s);
  EXPECT_EQ(verbose.status, 6);
  EXPECT_NE(verbose.err.find("engine: CAPTIONS_UNSUPPORTED: "), std::string::npos) << verbose.err;
}

class QuorvelCaptionRecognizer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!hasRecognizer()) GTEST_SKIP() << "built without a recognizer";
    if (!fs::exists(recording)) GTEST_SKIP() << "no test recording at " << recording;
  }
  const std::string recording = kLibrivox + "sense_and_sensibility_01_austen_64kb-0870.wav";
};

TEST_F(QuorvelCaptionRecognizer, UnpacedFileToSrtAndVttInOrderWithTheirTimes) {
  TempDir dir;
  ASSERT_TRUE(joinRecordings(librivoxParts(), dir.file("joined.wav")));
  ToolRun run = runTool(kTool,
                        {"--unpaced", "--srt", dir.file("out.srt"), "--vtt", dir.file("out.vtt"),
                         dir.file("joined.wav")},
                        240s);
  ASSERT_EQ(run.status, 0) << run.err;

  const std::string srt = slurp(dir.file("out.srt"));
  const std::string vtt = slurp(dir.file("out.vtt"));
  const auto srtCues = parseCues(srt, ',', true);
  ASSERT_EQ(vtt.rfind("WEBVTT\n\n", 0), 0u) << vtt;
  const auto vttCues = parseCues(vtt.substr(8), '.', false);
  ASSERT_GE(srtCues.size(), 3u) << srt;
  ASSERT_EQ(vttCues.size(), srtCues.size());

  // The joined recording lasts 29.7 seconds; unpaced it is captioned in far less time, so late
  // cue times show that the times are those of the audio, not of the clock.
  expectConventionalCues(srtCues, 42, 7000, 29'800);
  std::string cueText;
  for (size_t i = 0; i < srtCues.size(); ++i) {
    SCOPED_TRACE("cue " + std::to_string(i + 1));
    EXPECT_EQ(srtCues[i].number, static_cast<int>(i + 1));
    cueText += " " + srtCues[i].text();
    EXPECT_EQ(vttCues[i].startMs, srtCues[i].startMs);
    EXPECT_EQ(vttCues[i].endMs, srtCues[i].endMs);
    EXPECT_EQ(vttCues[i].lines, srtCues[i].lines);
  }
  EXPECT_GE(srtCues.back().startMs, 20'000);
  // The cues hold the finals the terminal printed, word for word, one final a line.
  const std::vector<std::string> finals = lines(run.out);
  EXPECT_GE(finals.size(), 3u);
  EXPECT_LE(finals.size(), srtCues.size());
  EXPECT_EQ(wordsOf(cueText), wordsOf(run.out));
  EXPECT_NE(run.err.find("stopped: " + std::to_string(finals.size()) + " finals, "),
            std::string::npos)
      << run.err;
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"joined.wav", "out.srt", "out.vtt"}))
      << "no temporary file is left beside the subtitles";
}

// Speech that runs on without pauses makes long finals (441 characters in one line and cues of
// 29-36 s, they used to be); the cues still follow the conventions, also with limits of one's own.
TEST_F(QuorvelCaptionRecognizer, ContinuousSpeechBecomesConventionalCues) {
  TempDir dir;
  ASSERT_TRUE(joinRecordings(librivoxParts(), dir.file("talk.wav"), 0, 2));
  ToolRun run =
      runTool(kTool, {"--unpaced", "--srt", dir.file("talk.srt"), dir.file("talk.wav")}, 300s);
  ASSERT_EQ(run.status, 0) << run.err;
  const auto cues = parseCues(slurp(dir.file("talk.srt")), ',', true);
  ASSERT_GE(cues.size(), 8u);
  expectConventionalCues(cues, 42, 7000, 49'500);
  std::string all;
  for (const Cue& c : cues) all += " " + c.text();
  EXPECT_EQ(wordsOf(all), wordsOf(run.out));

  ToolRun narrow = runTool(kTool,
                           {"--unpaced", "--max-line-length", "24", "--max-cue-seconds", "2.5",
                            "--vtt", dir.file("narrow.vtt"), recording},
                           120s);
  ASSERT_EQ(narrow.status, 0) << narrow.err;
  const auto narrowCues = parseCues(slurp(dir.file("narrow.vtt")).substr(8), '.', false);
  ASSERT_GE(narrowCues.size(), 3u);
  expectConventionalCues(narrowCues, 24, 2500, 7200);
}

TEST_F(QuorvelCaptionRecognizer, JsonLinesCarryEachFinalWithItsTimedWords) {
  ToolRun run = runTool(kTool, {"--unpaced", "--json", recording}, 120s);
  ASSERT_EQ(run.status, 0) << run.err;
  const std::vector<std::string> out = lines(run.out);
  ASSERT_GE(out.size(), 1u);
  int64_t previousEnd = 0;
  for (const std::string& line : out) {
    SCOPED_TRACE(line);
    const auto j = nlohmann::json::parse(line, nullptr, false);
    ASSERT_TRUE(j.is_object());
    const std::string text = j["text"].get<std::string>();
    const int64_t start = j["startMs"].get<int64_t>();
    const int64_t end = j["endMs"].get<int64_t>();
    EXPECT_GE(start, previousEnd);
    EXPECT_LE(start, end);
    EXPECT_LE(end, 7200);
    previousEnd = end;
    ASSERT_TRUE(j.contains("words")) << "the recognizer times its words";
    std::string spelled;
    int64_t wordEnd = start;
    for (const auto& w : j["words"]) {
      spelled += (spelled.empty() ? "" : " ") + w["text"].get<std::string>();
      EXPECT_GE(w["startMs"].get<int64_t>(), wordEnd - 1);
      EXPECT_LE(w["startMs"].get<int64_t>(), w["endMs"].get<int64_t>());
      wordEnd = w["endMs"].get<int64_t>();
    }
    EXPECT_EQ(spelled, text);
    EXPECT_LE(wordEnd, end);
  }
}

// `-` reads the audio from standard input: the same words as from the file, and nothing kept.
TEST_F(QuorvelCaptionRecognizer, StandardInputIsCaptionedLikeTheFile) {
  TempDir tmp;
  ToolProcess::Options piped;
  piped.stdinPath = recording;
  piped.env = {"TMPDIR=" + tmp.path().string()};
  ToolRun fromStdin = runTool(kTool, {"--unpaced", "--json", "-"}, 120s, piped);
  ASSERT_EQ(fromStdin.status, 0) << fromStdin.err;
  ToolRun fromFile = runTool(kTool, {"--unpaced", "--json", recording}, 120s);
  ASSERT_EQ(fromFile.status, 0) << fromFile.err;
  EXPECT_FALSE(fromStdin.out.empty());
  EXPECT_EQ(fromStdin.out, fromFile.out);
  EXPECT_TRUE(tmp.names().empty()) << "the copy of standard input is removed";

  // Standard input that is not audio is said to be so.
  piped.stdinPath = "/dev/null";
  ToolRun empty = runTool(kTool, {"--unpaced", "-"}, 60s, piped);
  EXPECT_EQ(empty.status, 7) << empty.err;
  EXPECT_NE(empty.err.find("cannot caption standard input"), std::string::npos) << empty.err;
  EXPECT_TRUE(tmp.names().empty());
}

// An unpaced run on a terminal shows how far it is (it used to show nothing for most of a long
// file) and prints finals as they come; Ctrl-C stops it promptly (it used to be ignored) with
// the subtitles so far written.
TEST_F(QuorvelCaptionRecognizer, ATerminalShowsProgressAndCtrlCStopsPromptly) {
  TempDir dir;
  ASSERT_TRUE(joinRecordings(librivoxParts(), dir.file("long.wav"), 1, 2));  // 59.4 s
  ToolProcess::Options terminal;
  terminal.terminal = true;
  ToolProcess tool(kTool, {"--unpaced", "--srt", dir.file("long.srt"), dir.file("long.wav")},
                   terminal);
  ASSERT_TRUE(tool.waitForOutput(" / 0:59", 60s)) << tool.out() << tool.err();
  ASSERT_TRUE(tool.waitForOutput("real time]", 60s)) << tool.out();
  // A final is a line of its own; the status line is only ever redrawn in place.
  ASSERT_TRUE(tool.waitForOutput("\n", 120s)) << tool.out();
  const auto interruptedAt = std::chrono::steady_clock::now();
  tool.signal(SIGINT);
  const auto status = tool.waitForExit(60s);
  const auto took = std::chrono::steady_clock::now() - interruptedAt;
  ASSERT_TRUE(status.has_value()) << "did not stop after Ctrl-C";
  EXPECT_EQ(*status, 0) << tool.err();
  EXPECT_LT(took, 15s) << "Ctrl-C must stop the run promptly";
  EXPECT_NE(tool.err().find("stopped: "), std::string::npos) << tool.err();
  const auto cues = parseCues(slurp(dir.file("long.srt")), ',', true);
  ASSERT_GE(cues.size(), 1u);
  expectConventionalCues(cues, 42, 7000, 59'500);
  EXPECT_LT(cues.back().endMs, 55'000) << "stopped before the end";
  // Every cue's words were on the terminal.
  const std::string shown = std::regex_replace(tool.out(), std::regex("\\r\\n"), " ");
  for (const Cue& c : cues) {
    for (const std::string& w : wordsOf(c.text())) EXPECT_NE(shown.find(w), std::string::npos) << w;
  }
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"long.srt", "long.wav"}));
}

// A second Ctrl-C used to leave a 0-byte subtitle file: now the file holds every cue up to the
// last final, complete, and nothing else is left behind.
TEST_F(QuorvelCaptionRecognizer, ASecondCtrlCEndsAtOnceAndLeavesCompleteSubtitles) {
  TempDir dir;
  ASSERT_TRUE(joinRecordings(librivoxParts(), dir.file("long.wav"), 1, 2));
  // The second Ctrl-C ends the tool at once (_exit) while its stop is under way, by design; a
  // thread-sanitizer build would count the stop's thread, finished but not yet joined, as leaked
  // and change the exit status.
  ToolProcess::Options exitAtOnce;
  const char* sanitizer = std::getenv("TSAN_OPTIONS");
  exitAtOnce.env = {"TSAN_OPTIONS=" + std::string(sanitizer ? sanitizer : "") +
                    ":report_thread_leaks=0"};
  ToolProcess tool(kTool, {"--unpaced", "--vtt", dir.file("long.vtt"), dir.file("long.wav")},
                   exitAtOnce);
  ASSERT_TRUE(tool.waitForOutput("\n", 120s)) << tool.err();
  tool.signal(SIGINT);
  tool.signal(SIGINT);
  const auto status = tool.waitForExit(30s);
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(*status == 130 || *status == 0) << *status;
  const std::string vtt = slurp(dir.file("long.vtt"));
  ASSERT_EQ(vtt.rfind("WEBVTT\n\n", 0), 0u) << vtt;
  EXPECT_EQ(vtt.substr(vtt.size() - 2), "\n\n") << "a whole file, not a cut one";
  const auto cues = parseCues(vtt.substr(8), '.', false);
  EXPECT_GE(cues.size(), 1u) << vtt;
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"long.vtt", "long.wav"}));
}

// Messages of our own, from the error's code and what was asked: nothing of another platform.
TEST_F(QuorvelCaptionRecognizer, FailuresAreWordedForThisMachine) {
  TempDir dir;
  std::ofstream(dir.file("notes.txt")) << "not audio at all\n";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string says;
  };
  const std::vector<Case> cases{
      {{"--unpaced", "--locale", "de-DE", recording}, 5, "no speech model for de-DE"},
      {{"--install-locale", "de-DE"}, 5, "no speech model for de-DE"},
      {{"--unpaced", dir.file("notes.txt")}, 7, "cannot caption " + dir.file("notes.txt")},
  };
  for (const Case& c : cases) {
    ToolRun run = runTool(kTool, c.args, 60s);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    expectOurOwnWords(run.err);
  }
}

// A live run says what it listens to, on the private test server's virtual microphone and on a
// monitor input (what the machine plays).
TEST_F(QuorvelCaptionRecognizer, ALiveRunSaysWhatItListensTo) {
  const char* audio = std::getenv("QUORVEL_TEST_AUDIO");
  if (!audio || std::string(audio) != "1") GTEST_SKIP() << "no test sound server";
  for (const auto& [args, label] :
       {std::pair{std::vector<std::string>{}, std::string("CI-Mic")},
        std::pair{std::vector<std::string>{"--input", "ci_sink.monitor"},
                  std::string("Monitor of CI-Sink")}}) {
    ToolProcess tool(kTool, args);
    ASSERT_TRUE(tool.waitForError("listening on " + label + " \u2014 Ctrl-C to stop", 60s))
        << tool.err();
    tool.signal(SIGINT);
    const auto status = tool.waitForExit(30s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0) << tool.err();
    expectOurOwnWords(tool.err());
  }
}

TEST_F(QuorvelCaptionRecognizer, CtrlCStopsAPacedSessionCleanly) {
  ToolProcess tool(kTool, {recording});
  // Paced to real time: the first final line comes a few seconds in.
  ASSERT_TRUE(tool.waitForOutput("\n", 60s)) << tool.err();
  tool.signal(SIGINT);
  auto status = tool.waitForExit(60s);
  ASSERT_TRUE(status.has_value()) << "did not stop after SIGINT";
  EXPECT_EQ(*status, 0) << tool.err();
  std::smatch m;
  const std::string err = tool.err();
  ASSERT_TRUE(std::regex_search(err, m, std::regex("stopped: (\\d+) finals, (\\d+) seconds")))
      << err;
  EXPECT_GE(std::stoi(m[1]), 1);
  // Stopped well before the recording's end.
  EXPECT_LT(std::stoi(m[2]), 24);
}

}  // namespace
}  // namespace quorvel::testing
