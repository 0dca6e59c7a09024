// The helper's parts in process: wire framing, payload dictionaries, the bridge's outcome mapping,
// the dispatcher's engine use, argument conversion, the line reader and the output queue.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "caption_engine/audio/no_caption_audio.h"
#include "helper/caption_engine_bridge.h"
#include "helper/caption_value_conversion.h"
#include "helper/caption_wire.h"
#include "helper/command_dispatcher.h"
#include "helper/command_reader.h"
#include "helper/line_output.h"
#include "helper/wire.h"

namespace quorvel::helper {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Captures what Wire writes, as parsed stdout messages and raw stderr lines.
class WireCapture : public ::testing::Test {
 protected:
  void SetUp() override {
    Wire::setOutputSink([this](std::string_view line) { outLines.emplace_back(line); });
    Wire::setLogSink([this](std::string_view line) { errLines.emplace_back(line); });
  }
  void TearDown() override {
    Wire::setOutputSink(nullptr);
    Wire::setLogSink(nullptr);
  }
  std::vector<Json> out() const {
    std::vector<Json> parsed;
    for (const auto& line : outLines) {
      EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line per message: " << line;
      parsed.push_back(Json::parse(line));
    }
    return parsed;
  }
  std::vector<std::string> outLines;
  std::vector<std::string> errLines;
};

// ---- Wire ----

using WireTest = WireCapture;

TEST_F(WireTest, MessageShapesAndKeyOrder) {
  Wire::ack("a", Json{{"x", 1}});
  Wire::ackVoid("v");
  Wire::err("e1", "INTERNAL", "m", false);
  Wire::err("e2", "INTERNAL", "m", true, Json::object());
  Wire::err("e3", "INTERNAL", "m", false, Json{{"k", "v"}});
  Wire::event("hello", Json{{"b", 2}, {"a", 1}});
  ASSERT_EQ(outLines.size(), 6u);
  EXPECT_EQ(outLines[0], "{\"t\":\"ack\",\"id\":\"a\",\"result\":{\"x\":1}}\n");
  EXPECT_EQ(outLines[1], "{\"t\":\"ack\",\"id\":\"v\",\"result\":null}\n");
  EXPECT_EQ(outLines[2],
            "{\"t\":\"err\",\"id\":\"e1\",\"code\":\"INTERNAL\",\"message\":\"m\",\"retriable\":"
            "false}\n");
  EXPECT_EQ(
      outLines[3],
      "{\"t\":\"err\",\"id\":\"e2\",\"code\":\"INTERNAL\",\"message\":\"m\",\"retriable\":true}\n");
  EXPECT_EQ(
      outLines[4],
      "{\"t\":\"err\",\"id\":\"e3\",\"code\":\"INTERNAL\",\"message\":\"m\",\"retriable\":false,"
      "\"context\":{\"k\":\"v\"}}\n");
  EXPECT_EQ(
      outLines[5].rfind("{\"t\":\"evt\",\"ev\":\"hello\",\"data\":{\"b\":2,\"a\":1},\"tsMs\":", 0),
      0u);
  const Json evt = Json::parse(outLines[5]);
  ASSERT_TRUE(evt["tsMs"].is_number_integer());
  EXPECT_LE(std::llabs(evt["tsMs"].get<int64_t>() - captionNowMs()), 60'000);
  EXPECT_THAT(errLines, IsEmpty());
}

TEST_F(WireTest, LineFeedsAreEscapedAndInvalidUtf8IsReplacedNotThrown) {
  Wire::ack("line\nfeed", Json("a\nb"));
  // Regression: the serializer throws on invalid UTF-8 by default; the writer must not.
  Wire::ack("bad\xFF", Json("x\xC3"));
  ASSERT_EQ(outLines.size(), 2u);
  EXPECT_EQ(outLines[0], "{\"t\":\"ack\",\"id\":\"line\\nfeed\",\"result\":\"a\\nb\"}\n");
  EXPECT_EQ(out()[1]["id"], "bad\xEF\xBF\xBD");
  EXPECT_EQ(out()[1]["result"], "x\xEF\xBF\xBD");
}

TEST_F(WireTest, LogLinesCarryThePrefixAndGoToStandardErrorOnly) {
  Wire::log("[captions] reserve: en-US");
  EXPECT_THAT(errLines, ElementsAre("[helper.mac] [captions] reserve: en-US\n"));
  EXPECT_THAT(outLines, IsEmpty());
}

TEST(WireWrite, AWriteToAClosedPipeFailsInsteadOfKillingTheProcess) {
  signal(SIGPIPE, SIG_IGN);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  EXPECT_FALSE(Wire::writeAll(fds[1], "line\n"));
  close(fds[1]);
}

// ---- CaptionWire payloads ----

TEST(CaptionWireTest, StatePayloads) {
  struct Case {
    std::optional<std::string> sessionId, reason;
    std::optional<double> levelDb;
    Json expected;
  };
  const std::vector<Case> cases = {
      {std::nullopt, std::nullopt, std::nullopt, {{"sessionId", nullptr}, {"state", "no_audio"}}},
      {"s1", std::nullopt, -60.0, {{"sessionId", "s1"}, {"state", "no_audio"}, {"levelDb", -60.0}}},
      {"s1",
       "silence",
       -60.0,
       {{"sessionId", "s1"}, {"state", "no_audio"}, {"reason", "silence"}, {"levelDb", -60.0}}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(
        CaptionWire::stateData(CaptionState::noAudio, c.sessionId, c.reason, c.levelDb).dump(),
        c.expected.dump());
  }
}

TEST(CaptionWireTest, AssetProgressPayloadHasAnErrorOnlyWhenGiven) {
  EXPECT_EQ(CaptionWire::assetProgressData("en-US", 0.5, false, std::nullopt).dump(),
            R"({"locale":"en-US","fraction":0.5,"done":false})");
  EXPECT_EQ(CaptionWire::assetProgressData("en-US", 1.0, true, "boom").dump(),
            R"({"locale":"en-US","fraction":1.0,"done":true,"error":"boom"})");
}

TEST(CaptionWireTest, StatusHasExactlySixKeysWithNullsForAbsentFields) {
  CaptionRuntimeStatus none;
  none.state = CaptionState::idle;
  none.nowMs = 123'456;
  EXPECT_EQ(
      CaptionWire::status(none).dump(),
      R"({"state":"idle","sessionId":null,"locale":null,"seconds":0,"lastSpeechAtMs":null,"levelDb":null})");

  CaptionRuntimeStatus full{CaptionState::noAudio, "s1",   "en-US", 10'000,
                            std::nullopt,          12'345, -61.5,   55'400};
  EXPECT_EQ(
      CaptionWire::status(full).dump(),
      R"({"state":"no_audio","sessionId":"s1","locale":"en-US","seconds":45,"lastSpeechAtMs":12345,"levelDb":-61.5})");
  // A whole level keeps its floating-point form on the wire.
  full.levelDb = -120.0;
  EXPECT_EQ(CaptionWire::status(full)["levelDb"].dump(), "-120.0");
}

TEST(CaptionWireTest, CapabilitiesHaveFourKeysAndANullReason) {
  EXPECT_EQ(
      CaptionWire::capabilities({true, std::nullopt, {"en-US"}, {"en-GB", "en-US"}}).dump(),
      R"({"supported":true,"reason":null,"installedLocales":["en-US"],"supportedLocales":["en-GB","en-US"]})");
  EXPECT_EQ(CaptionWire::capabilities({false, "why", {}, {}}).dump(),
            R"({"supported":false,"reason":"why","installedLocales":[],"supportedLocales":[]})");
}

TEST(CaptionWireTest, SegmentStartAckAndInputs) {
  EXPECT_EQ(
      CaptionWire::segmentData("s", CaptionEmission{3, "final", 120, 980, "hi there"}, "en-US")
          .dump(),
      R"({"sessionId":"s","seq":3,"kind":"final","tStartMs":120,"tEndMs":980,"text":"hi there","locale":"en-US"})");
  EXPECT_EQ(CaptionWire::startAck({"en-GB", 1700000000123}).dump(),
            R"({"state":"running","locale":"en-GB","startedAtMs":1700000000123})");
  EXPECT_EQ(CaptionWire::inputs({}).dump(), "[]");
  EXPECT_EQ(
      CaptionWire::inputs({{"mic", "Mic", true, CaptionAudioInputKind::usb, "note"},
                           {"line", "Line", false, CaptionAudioInputKind::lineIn, std::nullopt}})
          .dump(),
      R"([{"id":"mic","label":"Mic","isDefault":true},{"id":"line","label":"Line","isDefault":false}])");
}

using CaptionWireEventsTest = WireCapture;

TEST_F(CaptionWireEventsTest, EachNoticeBecomesOneLineAndBandReadingsNone) {
  const auto e = CaptionWire::events();
  e.raiseState(CaptionState::running, "s", std::nullopt, std::nullopt);
  e.raiseLevel("s", -42.5);
  e.raiseAssetProgress("en-US", 0.25, false, std::nullopt);
  e.raiseSegment("s", CaptionEmission{1, "volatile", 0, 500, "hi"}, "en-US");
  e.raiseUiLevel("s", CaptionLevelReading{-30.0, std::vector<double>(13, -40.0)});
  e.raiseLog("[captions] reserve: en-US");
  std::vector<std::string> names;
  for (const auto& m : out()) names.push_back(m["ev"]);
  EXPECT_THAT(
      names, ElementsAre("captionState", "captionLevel", "captionAssetProgress", "captionSegment"));
  EXPECT_EQ(out()[1]["data"].dump(), R"({"sessionId":"s","levelDb":-42.5})");
  EXPECT_THAT(errLines, ElementsAre("[helper.mac] [captions] reserve: en-US\n"));
}

// ---- Bridge ----

CaptionRuntimeFailure runtimeFailure(CaptionRuntimeErrorCode code, std::optional<Json> context) {
  return CaptionRuntimeFailure(code, "why", std::move(context), CaptionState::modelMissing, true);
}

TEST(BridgeTest, AFailedOutcomeCarriesTheRuntimeFailureUnchanged) {
  for (auto code : allCaptionErrorCodes) {
    const auto outcome = CaptionEngine::outcomeOf(
        CaptionRuntimeOutcome<CaptionRuntimeVoid>::failed(runtimeFailure(code, Json{{"k", 1}})));
    ASSERT_EQ(outcome.kind(), CaptionEngine::Outcome::Kind::failed);
    EXPECT_EQ(outcome.failure(), runtimeFailure(code, Json{{"k", 1}}));
    EXPECT_EQ(captionErrorCodeFromRaw(rawValue(code)), code);
  }
  EXPECT_EQ(captionErrorCodeFromRaw("UNSUPPORTED_OP"), HelperErrorCode::unsupportedOp);
  EXPECT_EQ(captionErrorCodeFromRaw("unsupported_op"), std::nullopt);
}

TEST(BridgeTest, SuccessfulOutcomesBecomeWireResults) {
  using K = CaptionEngine::Outcome::Kind;
  const auto start = CaptionEngine::outcomeOf(
      CaptionRuntimeOutcome<CaptionRuntimeStartResult>::ok({"en-US", 1234}));
  ASSERT_EQ(start.kind(), K::ok);
  EXPECT_EQ(start.result().dump(), R"({"state":"running","locale":"en-US","startedAtMs":1234})");
  const auto stop =
      CaptionEngine::outcomeOf(CaptionRuntimeOutcome<CaptionRuntimeStopResult>::ok({4, 61}));
  EXPECT_EQ(stop.result().dump(), R"({"finals":4,"seconds":61})");
  EXPECT_EQ(CaptionEngine::outcomeOf(CaptionRuntimeOutcome<CaptionRuntimeVoid>::ok({})).kind(),
            K::okVoid);
  EXPECT_EQ(CaptionEngine::outcomeOf(CaptionRuntimeOutcome<bool>::ok(false)).result().dump(),
            R"({"installed":false})");
  const auto failed = CaptionEngine::outcomeOf(CaptionRuntimeOutcome<bool>::failed(
      runtimeFailure(CaptionRuntimeErrorCode::captionsModelMissing, std::nullopt)));
  ASSERT_EQ(failed.kind(), K::failed);
  EXPECT_EQ(failed.failure().code, HelperErrorCode::captionsModelMissing);
}

using ReplyTest = WireCapture;

TEST_F(ReplyTest, FailuresKeepMessageAndFlagAndSendOnlyANonEmptyContext) {
  const auto reply = [](const char* id, std::optional<Json> context) {
    replyCaptionOutcome(
        id, CaptionEngine::Outcome::failed(
                runtimeFailure(CaptionRuntimeErrorCode::captionsModelMissing, context)));
  };
  reply("none", std::nullopt);
  reply("empty", Json::object());
  reply("some", Json{{"sessionId", "s0"}});
  replyCaptionOutcome("void", CaptionEngine::Outcome::okVoid());
  EXPECT_THAT(
      outLines,
      ElementsAre(
          R"({"t":"err","id":"none","code":"CAPTIONS_MODEL_MISSING","message":"why","retriable":true})"
          "\n",
          R"({"t":"err","id":"empty","code":"CAPTIONS_MODEL_MISSING","message":"why","retriable":true})"
          "\n",
          R"({"t":"err","id":"some","code":"CAPTIONS_MODEL_MISSING","message":"why","retriable":true,"context":{"sessionId":"s0"}})"
          "\n",
          R"({"t":"ack","id":"void","result":null})"
          "\n"));
}

// ---- Dispatcher ----

// A platform with two inputs, to see the list reach the wire.
class TwoInputs final : public CaptionAudioPlatform {
 public:
  std::vector<CaptionAudioInput> listInputs() override {
    return {{"a", "A", false, CaptionAudioInputKind::builtIn, std::nullopt},
            {"b", "B", true, CaptionAudioInputKind::usb, std::nullopt}};
  }
  std::shared_ptr<CaptionAudioProducer> makeProducer(const CaptionAudioSource& s) override {
    return NoCaptionAudio().makeProducer(s);
  }
};

int engineUses = 0;
CaptionEngine& testEngine() {
  ++engineUses;
  static CaptionEngine engine(std::make_unique<CaptionEngineCore>(
      CaptionWire::events(), std::make_shared<TwoInputs>(), nullptr));
  return engine;
}

using DispatcherTest = WireCapture;

TEST_F(DispatcherTest, RefusedCommandsNeverTouchTheEngine) {
  engineUses = 0;
  for (const char* text :
       {R"({})", R"({"id":1,"op":"captionsStatus"})", R"({"id":"a","op":"nope"})",
        R"({"id":"a","op":"captionsStart","args":{}})", R"({"id":"a","op":"captionsSetContext"})",
        R"({"id":"a","op":"captionsInstallLocale","args":{"locale":" "}})"}) {
    handle(Json::parse(text), &testEngine);
  }
  EXPECT_EQ(engineUses, 0);
  EXPECT_EQ(outLines.size(), 4u);
  EXPECT_EQ(errLines.size(), 2u);
}

TEST_F(DispatcherTest, InputsComeFromTheCorePlatform) {
  handle(Json::parse(R"({"id":"i","op":"captionsAudioInputs"})"), &testEngine);
  ASSERT_EQ(out().size(), 1u);
  EXPECT_EQ(
      out()[0]["result"].dump(),
      R"({"inputs":[{"id":"a","label":"A","isDefault":false},{"id":"b","label":"B","isDefault":true}]})");
}

// ---- Argument conversion ----

TEST(CaptionValueConversionTest, ScalarsArraysAndObjects) {
  const CaptionValue v = toCaptionValue(Json::parse(
      R"({"s":"x","b":true,"i":-3,"u":18446744073709551615,"f":0.5,"n":null,"a":[1,"y"],"o":{"k":false}})"));
  EXPECT_EQ(*v.member("s")->asString(), "x");
  EXPECT_EQ(*v.member("b")->asBool(), true);
  EXPECT_EQ(std::get<int64_t>(v.member("i")->v), -3);
  EXPECT_EQ(std::get<double>(v.member("u")->v), 18446744073709551615.0);
  EXPECT_EQ(std::get<double>(v.member("f")->v), 0.5);
  EXPECT_TRUE(v.member("n")->isNull());
  EXPECT_EQ(v.member("a")->asArray()->size(), 2u);
  EXPECT_EQ(*v.member("o")->member("k")->asBool(), false);
}

TEST(CaptionValueConversionTest, NestingBeyondTheLimitBecomesNull) {
  // 100,000 levels: the conversion must stop at the limit instead of recursing through them.
  Json deep = Json::array();
  for (int i = 0; i < 100'000; ++i) deep = Json::array({std::move(deep)});
  CaptionValue v = toCaptionValue(deep, 4);
  int depth = 0;
  const CaptionValue* p = &v;
  while (const auto* a = p->asArray()) {
    ASSERT_EQ(a->size(), 1u);
    p = &a->front();
    ++depth;
  }
  EXPECT_EQ(depth, 4);
  EXPECT_TRUE(p->isNull());
  EXPECT_TRUE(toCaptionValue(Json::object(), 0).isNull());
}

// ---- Line reader ----

std::vector<CommandLineReader::Line> readAll(const std::string& input, size_t maxLine,
                                             size_t chunk) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  EXPECT_TRUE(Wire::writeAll(fds[1], input));  // small inputs fit the pipe buffer
  close(fds[1]);
  CommandLineReader reader(fds[0], maxLine, chunk);
  std::vector<CommandLineReader::Line> lines;
  while (auto line = reader.next()) lines.push_back(*line);
  close(fds[0]);
  return lines;
}

TEST(CommandLineReaderTest, FramingWithEveryChunkSize) {
  struct Case {
    std::string input;
    std::vector<std::pair<std::string, bool>> lines;  // text, overlong
  };
  const std::vector<Case> cases = {
      {"", {}},
      {"a\n", {{"a", false}}},
      {"a", {{"a", false}}},
      {"a\r\nb\n\n", {{"a", false}, {"b", false}, {"", false}}},
      {"a\r\r\n", {{"a\r", false}}},
      {"12345678\n123456789\nok\n", {{"12345678", false}, {"", true}, {"ok", false}}},
      {"12345678\r\n", {{"12345678", false}}},
      {"1234567890123456789012345\nok", {{"", true}, {"ok", false}}},
      {"ok\n1234567890123", {{"ok", false}, {"", true}}},
  };
  for (size_t chunk : {1u, 3u, 64u}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(::testing::PrintToString(c.input) + " chunk " + std::to_string(chunk));
      std::vector<std::pair<std::string, bool>> got;
      for (const auto& line : readAll(c.input, 8, chunk))
        got.emplace_back(line.text, line.overlong);
      EXPECT_EQ(got, c.lines);
    }
  }
}

using ProcessLineTest = WireCapture;

TEST_F(ProcessLineTest, Verdicts) {
  struct Case {
    std::string line;
    LineVerdict verdict;
  };
  const std::vector<Case> cases = {
      {"", LineVerdict::blank},
      {" \t\xE3\x80\x80", LineVerdict::blank},
      {"[1,2]", LineVerdict::notJsonObject},
      {"42", LineVerdict::notJsonObject},
      {"{", LineVerdict::notJsonObject},
      {std::string("{\"a\":\"\0\"}", 9), LineVerdict::notJsonObject},
      {"\t{}  ", LineVerdict::command},
      {"{\"a\":\"\xFF\"}", LineVerdict::command},
  };
  int handled = 0;
  for (const auto& c : cases) {
    EXPECT_EQ(processLine(c.line, [&](const Json&) { ++handled; }), c.verdict)
        << ::testing::PrintToString(c.line);
  }
  EXPECT_EQ(handled, 2);
  EXPECT_EQ(errLines.size(), 4u);
  // A handler that throws must not end the reader.
  EXPECT_EQ(processLine("{}", [](const Json&) { throw std::runtime_error("boom"); }),
            LineVerdict::command);
  EXPECT_EQ(errLines.back(), "[helper.mac] command handling failed: boom\n");
  EXPECT_EQ(repairedUtf8("ok \xC3\xA9"), "ok \xC3\xA9");
  EXPECT_EQ(repairedUtf8("a\xFF"
                         "b\xE2\x82"),
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD");
}

// ---- Output queue ----

using namespace std::chrono_literals;
using Stream = LineOutput::Stream;

// A pipe whose capacity is set to `capacity` bytes when not 0 (4096: a single page).
class TestPipe {
 public:
  explicit TestPipe(int capacity = 0) {
    EXPECT_EQ(pipe2(fds_, O_CLOEXEC), 0);
    if (capacity > 0) {
      EXPECT_EQ(fcntl(fds_[1], F_SETPIPE_SZ, capacity), capacity);
    }
  }
  ~TestPipe() {
    close(fds_[0]);
    close(fds_[1]);
  }
  int readEnd() const { return fds_[0]; }
  int writeEnd() const { return fds_[1]; }

 private:
  int fds_[2] = {-1, -1};
};

// Reads fd until done(text read so far) holds or `wait` passes; with wait 0, only what is there.
std::string readUntil(int fd, const std::function<bool(const std::string&)>& done,
                      std::chrono::milliseconds wait = 10s) {
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + wait;
  char buf[65536];
  while (!done(text)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(std::max<int64_t>(left.count(), 0))) <= 0) break;
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  return text;
}

std::string readWhatIsThere(int fd) {
  return readUntil(
      fd, [](const std::string&) { return false; }, 0ms);
}

// Whole lines without their line feeds; text must end with one.
std::vector<std::string> linesOf(const std::string& text) {
  EXPECT_TRUE(text.empty() || text.back() == '\n') << "a line was cut short";
  std::vector<std::string> lines;
  for (size_t start = 0, lf; (lf = text.find('\n', start)) != std::string::npos; start = lf + 1) {
    lines.push_back(text.substr(start, lf - start));
  }
  return lines;
}

TEST(LineOutputTest, PastTheBoundEventsAreDroppedAndCountedWhileRepliesAreAllKept) {
  TestPipe out(4096);
  TestPipe err;
  LineOutput output(out.writeEnd(), err.writeEnd(),
                    {.outQueueBytes = 16 * 1024, .errQueueBytes = 1 << 20, .errPrefix = "[p] "});
  constexpr int kPairs = 1000;  // 170 KB against a 4 KB pipe and a 16 KB bound, nobody reading
  const std::string pad(80, '.');
  for (int i = 0; i < kPairs; ++i) {
    output.push(Stream::out, "e" + std::to_string(i) + pad + "\n", /*droppable=*/true);
    output.push(Stream::out, "r" + std::to_string(i) + pad + "\n", /*droppable=*/false);
  }
  const std::string last = "r" + std::to_string(kPairs - 1) + pad + "\n";
  const std::string text =
      readUntil(out.readEnd(), [&](const std::string& t) { return t.ends_with(last); });
  const std::string report =
      readUntil(err.readEnd(), [](const std::string& t) { return t.ends_with("\n"); });

  std::vector<int> events, replies;
  for (const auto& line : linesOf(text)) {
    ASSERT_TRUE(line.size() > pad.size() && line.ends_with(pad)) << line;
    const int n = std::stoi(line.substr(1, line.size() - pad.size() - 1));
    (line[0] == 'e' ? events : replies).push_back(n);
  }
  std::vector<int> all(kPairs);
  for (int i = 0; i < kPairs; ++i) all[static_cast<size_t>(i)] = i;
  EXPECT_EQ(replies, all);
  EXPECT_TRUE(std::is_sorted(events.begin(), events.end()));
  EXPECT_EQ(std::adjacent_find(events.begin(), events.end()), events.end());
  const size_t dropped = kPairs - events.size();
  EXPECT_GT(dropped, 0u);
  EXPECT_EQ(report, "[p] standard output was not being read: dropped " + std::to_string(dropped) +
                        " events\n");
}

// Standard output and standard error may be one pipe: a line that goes out in pieces must not be
// cut by lines of the other stream.
TEST(LineOutputTest, OnASharedPipeALineInPiecesIsNotCutByTheOtherStream) {
  TestPipe shared(4096);
  LineOutput output(shared.writeEnd(), shared.writeEnd(), {});
  const std::string longLine(20'000, 'o');
  output.push(Stream::out, longLine + "\n", false);
  std::vector<std::string> diagnostics;
  for (int i = 0; i < 50; ++i) {
    diagnostics.push_back("diag " + std::to_string(i));
    output.push(Stream::err, diagnostics.back() + "\n", true);
  }
  output.push(Stream::out, "tail\n", false);
  const auto lines = linesOf(readUntil(shared.readEnd(), [](const std::string& t) {
    return t.find("tail\n") != std::string::npos && t.find("diag 49\n") != std::string::npos;
  }));
  std::vector<std::string> outLines, errLines;
  for (const auto& line : lines) (line.starts_with("diag") ? errLines : outLines).push_back(line);
  EXPECT_THAT(outLines, ElementsAre(longLine, "tail"));
  EXPECT_EQ(errLines, diagnostics);
}

// At exit: with a reader, all that was queued gets out whole, a line longer than the pipe
// included; without one, finish still returns, having cut no line, and nothing is written after.
TEST(LineOutputTest, FinishFlushesToAReaderAndReturnsWithoutOne) {
  for (const bool reading : {true, false}) {
    SCOPED_TRACE(reading ? "host reads" : "host does not read");
    TestPipe out(4096);
    TestPipe err;
    LineOutput output(out.writeEnd(), err.writeEnd(), {});
    std::string expected;
    for (int i = 0; i < 200; ++i) {
      const std::string line = "line " + std::to_string(i) + std::string(80, '.') + "\n";
      output.push(Stream::out, line, false);
      expected += line;
    }
    const std::string longLine = std::string(30'000, 'x') + "\n";
    output.push(Stream::out, longLine, false);
    expected += longLine;

    std::string got;
    std::thread host;
    if (reading) {
      host = std::thread([&] {
        got = readUntil(out.readEnd(),
                        [&](const std::string& t) { return t.size() >= expected.size(); });
      });
    }
    const auto started = std::chrono::steady_clock::now();
    output.finish(reading ? 10s : 100ms);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    output.push(Stream::out, "late\n", false);
    if (reading) {
      host.join();
      EXPECT_EQ(got, expected);
      EXPECT_EQ(readWhatIsThere(out.readEnd()), "");
    } else {
      got = readWhatIsThere(out.readEnd());
      EXPECT_FALSE(got.empty());
      EXPECT_TRUE(expected.starts_with(got));
      EXPECT_EQ(got.back(), '\n');
      EXPECT_EQ(readWhatIsThere(out.readEnd()), "") << "written after finish";
    }
    EXPECT_EQ(readWhatIsThere(err.readEnd()), "");
  }
}

}  // namespace
}  // namespace quorvel::helper
