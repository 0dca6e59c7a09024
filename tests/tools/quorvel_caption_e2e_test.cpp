// quorvel-caption driven as a user's shell would: arguments in, exit status, standard output
// and standard error out, over pipes (so its output is not a terminal: one line per final).
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

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
  std::string text;
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
    EXPECT_TRUE(std::getline(in, cue.text));
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

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/quorvel-caption-test.XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() { fs::remove_all(path_); }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The five librivox recordings (16 kHz mono 16-bit, 24.7 s together) joined into one WAV file
// with a second of silence after each, so that each ends in its own final line.
bool joinRecordings(const std::vector<std::string>& paths, const std::string& out) {
  std::string samples;
  for (const auto& path : paths) {
    const std::string wav = slurp(path);
    if (wav.size() < 12 || wav.compare(0, 4, "RIFF") != 0 || wav.compare(8, 4, "WAVE") != 0) {
      return false;
    }
    bool found = false;
    for (size_t at = 12; at + 8 <= wav.size();) {
      uint32_t size = 0;
      for (int b = 3; b >= 0; --b) size = size << 8 | static_cast<uint8_t>(wav[at + 4 + b]);
      if (wav.compare(at, 4, "data") == 0) {
        samples += wav.substr(at + 8, size);
        found = true;
        break;
      }
      at += 8 + size + (size & 1);
    }
    if (!found) return false;
    samples += std::string(16000 * 2, '\0');
  }
  auto le = [](uint32_t v, int bytes) {
    std::string s;
    for (int i = 0; i < bytes; ++i) s += static_cast<char>(v >> (8 * i) & 0xff);
    return s;
  };
  const auto n = static_cast<uint32_t>(samples.size());
  std::ofstream f(out, std::ios::binary);
  f << "RIFF" << le(36 + n, 4) << "WAVE"
    << "fmt " << le(16, 4) << le(1, 2) << le(1, 2) << le(16000, 4) << le(32000, 4) << le(2, 2)
    << le(16, 2) << "data" << le(n, 4) << samples;
  return static_cast<bool>(f);
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
  };
  for (const Case& c : cases) {
    ToolRun run = runTool(kTool, c.args, 60s);
    EXPECT_EQ(run.status, c.status) << c.args[0] << "\n" << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
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
  ToolRun run = runTool(
      kTool, {"--unpaced", kLibrivox + "sense_and_sensibility_01_austen_64kb-0870.wav"}, 60s);
  EXPECT_EQ(run.status, 6);
  EXPECT_NE(run.err.find("CAPTIONS_UNSUPPORTED: "), std::string::npos) << run.err;
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
  std::vector<std::string> parts;
  for (const char* n : {"0870", "0880", "0890", "0920", "0930"}) {
    parts.push_back(kLibrivox + "sense_and_sensibility_01_austen_64kb-" + n + ".wav");
  }
  ASSERT_TRUE(joinRecordings(parts, dir.file("joined.wav")));
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
  std::vector<std::string> stdoutLines;
  std::istringstream out(run.out);
  for (std::string line; std::getline(out, line);) stdoutLines.push_back(line);
  ASSERT_EQ(stdoutLines.size(), srtCues.size()) << run.out;
  for (size_t i = 0; i < srtCues.size(); ++i) {
    SCOPED_TRACE("cue " + std::to_string(i + 1));
    EXPECT_EQ(srtCues[i].number, static_cast<int>(i + 1));
    EXPECT_LE(srtCues[i].startMs, srtCues[i].endMs);
    EXPECT_LE(srtCues[i].endMs, 29'800);
    if (i > 0) {
      EXPECT_GE(srtCues[i].startMs, srtCues[i - 1].endMs);
    }
    EXPECT_FALSE(srtCues[i].text.empty());
    EXPECT_EQ(srtCues[i].text, stdoutLines[i]);
    EXPECT_EQ(vttCues[i].startMs, srtCues[i].startMs);
    EXPECT_EQ(vttCues[i].endMs, srtCues[i].endMs);
  }
  EXPECT_GE(srtCues.back().startMs, 20'000);
  EXPECT_NE(run.err.find("stopped: " + std::to_string(srtCues.size()) + " finals, "),
            std::string::npos)
      << run.err;
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
