// The helper binary driven over pipes as a host drives it, in a build without a recognizer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "caption_engine/logic/caption_start_request.h"
#include "caption_engine/runtime/caption_engine_core.h"
#include "helper_harness.h"

namespace quorvel::testing {
namespace {

using namespace std::string_literals;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Most of the protocol does not depend on the build; what captions answer does.
#ifdef SPEECHANALYZER_AVAILABLE
constexpr bool kHasRecognizer = true;
#else
constexpr bool kHasRecognizer = false;
#endif
#define SKIP_WITH_RECOGNIZER() \
  if (kHasRecognizer) GTEST_SKIP() << "this build has a recognizer; the runtime tests cover it"

const std::string kReason = CaptionEngineCore::buildUnsupportedReason;
// The state a fresh helper reports.
const std::string kFreshState = kHasRecognizer ? "idle" : "unsupported";
const std::string kNonJson = "[helper.mac] non-JSON line ignored";
const std::string kMalformed = "[helper.mac] dropping malformed command";

Json err(const std::string& id, const std::string& code, const std::string& message) {
  return Json{{"t", "err"}, {"id", id}, {"code", code}, {"message", message}, {"retriable", false}};
}

Json statusAck(const std::string& id) {
  return Json{{"t", "ack"},
              {"id", id},
              {"result",
               {{"state", kFreshState},
                {"sessionId", nullptr},
                {"locale", nullptr},
                {"seconds", 0},
                {"lastSpeechAtMs", nullptr},
                {"levelDb", nullptr}}}};
}

// Event lines without their time stamp, which the tests check separately.
Json withoutTs(Json m) {
  m.erase("tsMs");
  return m;
}

class HelperE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(helper.waitForEvent("hello").has_value());
    ASSERT_TRUE(helper.waitForLog("[helper.mac] quorvel caption helper ready"));
  }
  // Every stdout line is a JSON object, and every stderr line is a diagnostic of ours (a
  // sanitizer report or a stray print would break that).
  void TearDown() override {
    EXPECT_THAT(helper.invalidLines(), IsEmpty());
    for (const auto& line : helper.logs()) EXPECT_EQ(line.rfind("[helper.mac] ", 0), 0u) << line;
  }

  HelperProcess helper;
};

TEST_F(HelperE2E, HelloIsTheFirstLineAndCarriesTheUnsupportedCapabilities) {
  const auto messages = helper.messages();
  ASSERT_FALSE(messages.empty());
  const Json& hello = messages.front();
  EXPECT_EQ(helper.logs().front(), "[helper.mac] quorvel caption helper ready");
  SKIP_WITH_RECOGNIZER();
  EXPECT_EQ(withoutTs(hello), (Json{{"t", "evt"},
                                    {"ev", "hello"},
                                    {"data",
                                     {{"helper", "macos"},
                                      {"version", 1},
                                      {"captions",
                                       {{"supported", false},
                                        {"reason", kReason},
                                        {"installedLocales", Json::array()},
                                        {"supportedLocales", Json::array()}}}}}}));
  ASSERT_TRUE(hello["tsMs"].is_number_integer());
  EXPECT_NEAR(static_cast<double>(hello["tsMs"].get<int64_t>()),
              static_cast<double>(captionNowMs()), 60'000.0);
}

TEST_F(HelperE2E, ImmediateRepliesForStatusAndInputs) {
  const auto c = helper.roundTrip(
      "{\"id\":\"s\",\"op\":\"captionsStatus\"}\n"
      "{\"id\":\"i\",\"op\":\"captionsAudioInputs\",\"args\":{\"ignored\":true},\"extra\":1}\n");
  ASSERT_EQ(c.out.size(), 2u);
  EXPECT_EQ(c.out[0], statusAck("s"));
  // The inputs depend on the machine's audio platform (none at all with the input-less one);
  // each is sent with exactly three keys.
  EXPECT_EQ(c.out[1]["t"], "ack");
  EXPECT_EQ(c.out[1]["id"], "i");
  const Json& inputs = c.out[1]["result"]["inputs"];
  ASSERT_TRUE(inputs.is_array());
  for (const auto& input : inputs) {
    EXPECT_EQ(input.size(), 3u) << input;
    EXPECT_TRUE(input["id"].is_string() && input["label"].is_string() &&
                input["isDefault"].is_boolean())
        << input;
  }
  EXPECT_THAT(c.err, IsEmpty());
}

TEST_F(HelperE2E, DispatcherErrorsAreAnsweredAtOnce) {
  const std::string firstDecodeReason = std::get<CaptionsStartRequest::DecodeError>(
                                            CaptionsStartRequest::decode(CaptionValue::Object{}))
                                            .reason;
  struct Case {
    std::string line;
    Json reply;
  };
  const std::vector<Case> cases = {
      {R"({"id":"a","op":"CaptionsStatus"})",
       err("a", "UNSUPPORTED_OP", "unknown op CaptionsStatus")},
      {R"({"id":"b","op":"captions stop "})",
       err("b", "UNSUPPORTED_OP", "unknown op captions stop ")},
      {R"({"id":"c","op":"captionsSetContext","args":{"sessionId":""}})",
       err("c", "BAD_REQUEST", "captionsSetContext needs a sessionId")},
      {R"({"id":"d","op":"captionsSetContext","args":{"sessionId":7}})",
       err("d", "BAD_REQUEST", "captionsSetContext needs a sessionId")},
      {R"({"id":"e","op":"captionsSetContext"})",
       err("e", "BAD_REQUEST", "captionsSetContext needs a sessionId")},
      {R"({"id":"f","op":"captionsInstallLocale","args":{"locale":"  "}})",
       err("f", "BAD_REQUEST", "captionsInstallLocale needs a BCP-47 locale")},
      {R"({"id":"g","op":"captionsInstallLocale","args":{"locale":"\t\u3000"}})",
       err("g", "BAD_REQUEST", "captionsInstallLocale needs a BCP-47 locale")},
      {R"({"id":"h","op":"captionsInstallLocale","args":{"locale":["en-US"]}})",
       err("h", "BAD_REQUEST", "captionsInstallLocale needs a BCP-47 locale")},
      {R"({"id":"i","op":"captionsStart","args":5})", err("i", "BAD_REQUEST", firstDecodeReason)},
      {R"({"id":"j","op":"captionsStart","args":null})",
       err("j", "BAD_REQUEST", firstDecodeReason)},
      {R"({"id":"k","op":"captionsStart"})", err("k", "BAD_REQUEST", firstDecodeReason)},
      {R"({"id":"l","op":"captionsStart","args":{"sessionId":"s","locale":"en-US","source":{"kind":"tape"}}})",
       err("l", "BAD_REQUEST", "captionsStart source.kind must be device|default|file (got tape)")},
  };
  std::string lines;
  std::vector<Json> expected;
  for (const auto& c : cases) {
    lines += c.line + "\n";
    expected.push_back(c.reply);
  }
  const auto c = helper.roundTrip(lines);
  EXPECT_EQ(c.out, expected);
  EXPECT_THAT(c.err, IsEmpty());
}

TEST_F(HelperE2E, StartWithoutRecognizerSendsTheStateNoticeThenTheError) {
  SKIP_WITH_RECOGNIZER();
  const auto c = helper.roundTrip(
      R"({"id":"st","op":"captionsStart","args":{"sessionId":"s1","locale":"en-US","source":{"kind":"default"}}})"
      "\n");
  ASSERT_EQ(c.out.size(), 2u);
  EXPECT_EQ(withoutTs(c.out[0]),
            (Json{{"t", "evt"},
                  {"ev", "captionState"},
                  {"data", {{"sessionId", "s1"}, {"state", "unsupported"}, {"reason", kReason}}}}));
  EXPECT_TRUE(c.out[0]["tsMs"].is_number_integer());
  EXPECT_EQ(c.out[1], err("st", "CAPTIONS_UNSUPPORTED", kReason));
}

TEST_F(HelperE2E, InstallWithoutRecognizerSendsTheProgressNoticeWithTheTrimmedLocale) {
  SKIP_WITH_RECOGNIZER();
  const auto c =
      helper.roundTrip(R"({"id":"in","op":"captionsInstallLocale","args":{"locale":" en-US\t"}})"
                       "\n");
  ASSERT_EQ(c.out.size(), 2u);
  EXPECT_EQ(withoutTs(c.out[0]),
            (Json{{"t", "evt"},
                  {"ev", "captionAssetProgress"},
                  {"data",
                   {{"locale", "en-US"}, {"fraction", 0.0}, {"done", true}, {"error", kReason}}}}));
  EXPECT_EQ(c.out[1], err("in", "CAPTIONS_UNSUPPORTED", kReason));
}

TEST_F(HelperE2E, StopAndSetContextWithoutRecognizerFailWithoutNotices) {
  SKIP_WITH_RECOGNIZER();
  const auto c = helper.roundTrip(
      R"({"id":"p1","op":"captionsStop"})"
      "\n"
      R"({"id":"p2","op":"captionsStop","args":{"sessionId":7}})"
      "\n"
      R"({"id":"x1","op":"captionsSetContext","args":{"sessionId":" ","terms":["a",1]}})"
      "\n");
  EXPECT_THAT(c.out, ElementsAre(err("p1", "CAPTIONS_UNSUPPORTED", kReason),
                                 err("p2", "CAPTIONS_UNSUPPORTED", kReason),
                                 err("x1", "CAPTIONS_UNSUPPORTED", kReason)));
}

TEST_F(HelperE2E, MalformedEnvelopesAreDroppedWithALogLine) {
  const std::vector<std::string> lines = {
      R"({})",
      R"({"op":"captionsStatus"})",
      R"({"id":7,"op":"captionsStatus"})",
      R"({"id":"a"})",
      R"({"id":"a","op":1})",
      R"({"id":["a"],"op":"captionsStatus"})",
      R"({"id":null,"op":"captionsStatus"})",
  };
  const size_t outMark = helper.messageCount();
  const size_t errMark = helper.logCount();
  for (const auto& line : lines) helper.send(line + "\n");
  helper.sendLine(Json{{"id", "after"}, {"op", "captionsStatus"}});
  ASSERT_TRUE(helper.waitForReply("after").has_value());
  ASSERT_TRUE(helper.waitForLogCount(errMark + lines.size()));
  const auto out = helper.messages();
  EXPECT_EQ(std::vector<Json>(out.begin() + static_cast<long>(outMark), out.end()),
            std::vector<Json>{statusAck("after")});
  const auto logs = helper.logs();
  EXPECT_EQ(std::vector<std::string>(logs.begin() + static_cast<long>(errMark), logs.end()),
            std::vector<std::string>(lines.size(), kMalformed));
}

TEST_F(HelperE2E, ReaderSkipsBlankAndNonObjectLinesAndTrimsHorizontalSpace) {
  struct Case {
    std::string bytes;
    std::vector<std::string> logs;
    std::vector<Json> out;
  };
  const std::vector<Case> cases = {
      {"\n", {}, {}},
      {" \t  \t\n", {}, {}},
      {"\r\n", {}, {}},
      {"[1,2]\n", {kNonJson}, {}},
      {"42\n", {kNonJson}, {}},
      {"\"text\"\n", {kNonJson}, {}},
      {"{\"id\":\"a\",\n", {kNonJson}, {}},
      {"not json at all\n", {kNonJson}, {}},
      {"{\"id\":\"a\"\0,\"op\":\"captionsStatus\"}\n"s, {kNonJson}, {}},
      {" \t{\"id\":\"t1\",\"op\":\"captionsStatus\"}\t \n", {}, {statusAck("t1")}},
      {"\xE3\x80\x80{\"id\":\"t2\",\"op\":\"captionsStatus\"}\xC2\xA0\n", {}, {statusAck("t2")}},
      {"{\"id\":\"t3\",\"op\":\"captionsStatus\"}\r\n", {}, {statusAck("t3")}},
      {"{\"id\":\"t4\",\"op\":\"captionsStatus\"}\n{\"id\":\"t5\",\"op\":\"captionsStatus\"}\n",
       {},
       {statusAck("t4"), statusAck("t5")}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.bytes));
    const auto got = helper.roundTrip(c.bytes);
    EXPECT_EQ(got.err, c.logs);
    EXPECT_EQ(got.out, c.out);
  }
}

TEST_F(HelperE2E, ACommandSplitAcrossWritesIsOneLine) {
  helper.send("{\"id\":\"sp\",");
  helper.send("\"op\":\"captionsSta");
  const auto c = helper.roundTrip("tus\"}\n");
  EXPECT_THAT(c.out, ElementsAre(statusAck("sp")));
}

// Hostile lines must neither crash nor stall the reader: each is followed by a command that must
// still be answered.
TEST_F(HelperE2E, HostileLinesLeaveTheHelperAnswering) {
  const std::string deepOpen(200'000, '[');
  std::string balanced = std::string(100'000, '[') + std::string(100'000, ']');
  std::string deepObject;
  for (int i = 0; i < 50'000; ++i) deepObject += "{\"a\":";
  deepObject += "1" + std::string(50'000, '}');
  const std::string hugeString =
      "{\"id\":\"big\",\"op\":\"captionsStatus\",\"pad\":\"" + std::string(5'000'000, 'x') + "\"}";

  struct Case {
    std::string name;
    std::string bytes;
    std::vector<std::string> logs;
    std::vector<Json> out;
  };
  const std::vector<Case> cases = {
      {"200k open brackets", deepOpen + "\n", {kNonJson}, {}},
      {"balanced deep array", balanced + "\n", {kNonJson}, {}},
      {"5 MB string over the line limit", hugeString + "\n", {kNonJson}, {}},
      {"deep args reach the decoder",
       R"({"id":"deep","op":"captionsStart","args":{"sessionId":"s","locale":"en-US","source":)" +
           balanced + "}}\n",
       {},
       {err("deep", "BAD_REQUEST",
            "captionsStart needs a source {kind:'device'|'default'|'file'}")}},
      {"deep object as args",
       R"({"id":"deep2","op":"captionsSetContext","args":)" + deepObject + "}\n",
       {},
       {err("deep2", "BAD_REQUEST", "captionsSetContext needs a sessionId")}},
      {"invalid UTF-8 outside strings", "\xFF\xFE{}\n", {kNonJson}, {}},
      {"CR only line endings are not line ends",
       "{\"id\":\"cr\",\"op\":\"captionsStatus\"}\r\r\n",
       {},
       {statusAck("cr")}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto got = helper.roundTrip(c.bytes, 60s);
    EXPECT_EQ(got.err, c.logs);
    EXPECT_EQ(got.out, c.out);
  }
}

TEST_F(HelperE2E, InvalidUtf8InACommandIsRepairedAndTheReplyIsValidUtf8) {
  const auto c = helper.roundTrip("{\"id\":\"u\xFF\xC3\",\"op\":\"nope\xE2\x82\"}\n");
  ASSERT_EQ(c.out.size(), 1u);
  EXPECT_EQ(c.out[0]["id"], "u\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(c.out[0]["message"], "unknown op nope\xEF\xBF\xBD");
}

TEST_F(HelperE2E, ALastLineWithoutLineFeedIsHandledAtEndOfInput) {
  helper.send("{\"id\":\"last\",\"op\":\"captionsStatus\"}");
  helper.closeStdin();
  EXPECT_EQ(helper.waitForReply("last"), statusAck("last"));
  EXPECT_EQ(helper.waitForExit(), 0);
}

TEST_F(HelperE2E, EndOfInputExitsWithStatusZeroWithoutFurtherOutput) {
  const size_t outMark = helper.messageCount();
  helper.closeStdin();
  EXPECT_EQ(helper.waitForExit(), 0);
  EXPECT_EQ(helper.messageCount(), outMark);
}

// Regression: a host that closes our standard output must not kill the helper with SIGPIPE.
TEST_F(HelperE2E, HostClosingStdoutDoesNotKillTheHelper) {
  helper.closeStdout();
  const size_t errMark = helper.logCount();
  for (int i = 0; i < 50; ++i)
    helper.sendLine(Json{{"id", std::to_string(i)}, {"op", "captionsStatus"}});
  helper.send("[1]\n");
  EXPECT_TRUE(helper.waitForLog(kNonJson, 10s, errMark));
  helper.closeStdin();
  EXPECT_EQ(helper.waitForExit(), 0);
}

// Regression: with descriptor 0 closed, the next file the helper opened took its place and the
// reader read from it.
TEST(HelperStart, ClosedStdinStillSaysHelloAndExitsZero) {
  HelperProcess::Options options;
  options.stdinClosed = true;
  HelperProcess helper(options);
  EXPECT_TRUE(helper.waitForEvent("hello").has_value());
  EXPECT_TRUE(helper.waitForLog("[helper.mac] quorvel caption helper ready"));
  EXPECT_EQ(helper.waitForExit(), 0);
  EXPECT_THAT(helper.invalidLines(), IsEmpty());
}

// ---- A host that stops reading ----

constexpr auto kExitBound = 10s;

std::string statusCommands(int count) {
  std::string lines;
  for (int i = 0; i < count; ++i) {
    lines += R"({"id":")" + std::to_string(i) +
             R"(","op":"captionsStatus"})"
             "\n";
  }
  return lines;
}

// Regression: replies were written on the reader thread, which blocked once the host stopped
// reading standard output, never saw the end of input and kept the helper alive.
TEST(HelperBackPressure, EndOfInputEndsTheHelperWhileStdoutIsFullAndLeavesOnlyWholeLines) {
  constexpr int kCommands = 5000;  // about 750 KB of replies, ten times what the pipe holds
  HelperProcess::Options options;
  options.holdStdout = true;
  options.stdinPipeBytes = 1 << 20;  // the commands fit, so sending them never waits
  HelperProcess helper(options);
  ASSERT_TRUE(helper.waitForLog("[helper.mac] quorvel caption helper ready"));
  ASSERT_TRUE(helper.send(statusCommands(kCommands)));
  helper.closeStdin();
  ASSERT_EQ(helper.waitForExit(kExitBound), 0) << "the helper did not end within the bound";

  helper.startReading();
  ASSERT_TRUE(helper.waitForOutputEnd());
  EXPECT_THAT(helper.invalidLines(), IsEmpty());  // a line cut short would be here
  const auto messages = helper.messages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.front().value("ev", ""), "hello");
  // What the pipe took: the first replies, in order, none missing, none repeated.
  EXPECT_GT(messages.size(), 100u);
  for (size_t i = 1; i < messages.size(); ++i) {
    ASSERT_EQ(messages[i], statusAck(std::to_string(i - 1))) << "message " << i;
  }
  for (const auto& line : helper.logs()) EXPECT_EQ(line.rfind("[helper.mac] ", 0), 0u) << line;
}

// Whether the process maps a shared library whose file name starts with `prefix`.
bool mapsLibrary(pid_t pid, const std::string& prefix) {
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  for (std::string line; std::getline(maps, line);) {
    const size_t slash = line.rfind('/');
    if (slash != std::string::npos && line.compare(slash + 1, prefix.size(), prefix) == 0) {
      return true;
    }
  }
  return false;
}

// FFmpeg's decoders and the sound server's client library bring well over a hundred libraries
// with them, which cost start-up time and memory: the helper loads them when a command first needs
// them, never to say hello. Listing inputs needs the sound server, but no decoder.
TEST_F(HelperE2E, TheDecoderAndTheSoundServerLibraryAreLoadedOnlyWhenACommandNeedsThem) {
  const std::vector<std::string> ffmpeg = {"libavformat.so", "libavcodec.so", "libswresample.so",
                                           "libavutil.so"};
  for (const auto& lib : ffmpeg) EXPECT_FALSE(mapsLibrary(helper.pid(), lib)) << lib;
  EXPECT_FALSE(mapsLibrary(helper.pid(), "libpulse.so"));

  const auto c = helper.roundTrip("{\"id\":\"i\",\"op\":\"captionsAudioInputs\"}\n");
  ASSERT_EQ(c.out.size(), 1u);
  EXPECT_EQ(c.out[0]["t"], "ack");
  EXPECT_TRUE(mapsLibrary(helper.pid(), "libpulse.so"));
  for (const auto& lib : ffmpeg) EXPECT_FALSE(mapsLibrary(helper.pid(), lib)) << lib;
}

// Regression: diagnostics were written on the reader thread, which blocked once the host stopped
// reading standard error.
TEST(HelperBackPressure, AHostThatDoesNotReadStderrLeavesTheReaderAnswering) {
  constexpr int kJunkLines = 20'000;  // 720 KB of "non-JSON line ignored", ten times the pipe
  HelperProcess::Options options;
  options.holdStderr = true;
  options.stdinPipeBytes = 1 << 20;
  HelperProcess helper(options);
  ASSERT_TRUE(helper.waitForEvent("hello").has_value());
  std::string junk;
  for (int i = 0; i < kJunkLines; ++i) junk += "x\n";
  ASSERT_TRUE(helper.send(junk));
  ASSERT_TRUE(helper.sendLine(Json{{"id", "after"}, {"op", "captionsStatus"}}));
  EXPECT_EQ(helper.waitForReply("after"), statusAck("after"));
  helper.closeStdin();
  ASSERT_EQ(helper.waitForExit(kExitBound), 0) << "the helper did not end within the bound";

  helper.startReading();
  ASSERT_TRUE(helper.waitForOutputEnd());
  const auto logs = helper.logs();
  ASSERT_FALSE(logs.empty());
  EXPECT_EQ(logs.front(), "[helper.mac] quorvel caption helper ready");
  EXPECT_GT(logs.size(), 100u);
  for (size_t i = 1; i < logs.size(); ++i) ASSERT_EQ(logs[i], kNonJson) << "line " << i;
  EXPECT_THAT(helper.invalidLines(), IsEmpty());
}

}  // namespace
}  // namespace quorvel::testing
