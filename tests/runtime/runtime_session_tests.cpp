// A running session: ingest through the converter, results to segments, stream errors, stop and
// its figures, context updates and status.
#include "tests/runtime/runtime_test_support.h"

namespace quorvel::testing {
namespace {

TEST_F(RuntimeTest, IngestConvertsToTheAnalyzerFormatAndKeepsTheConverterAcrossEqualFormats) {
  startRunning(request("s1"));
  auto analyzer = service->lastAnalyzer();

  // 4800 frames of 48 kHz stereo float become about 1600 frames of 16 kHz mono int16.
  feed(constantBuffer(kStereo48kFloat, 4800, 0.25));
  feed(constantBuffer(kStereo48kFloat, 4800, 0.25));
  EXPECT_EQ(runtime->converterContextsMade(), 1) << "equal formats share one converter";
  for (const PcmBuffer& b : analyzer->buffers()) {
    EXPECT_EQ(b.format(), kAnalyzerFormat);
    EXPECT_NEAR(static_cast<double>(b.frameLength()), 1600.0, 64.0);
  }
  EXPECT_EQ(runtime->buffersFed(), 2);

  // A different channel count makes a new converter.
  feed(constantBuffer({SampleType::float32, 48000.0, 1, false}, 4800, 0.25));
  EXPECT_EQ(runtime->converterContextsMade(), 2);
  // Level readings reach the host through the event queue, after the buffer was fed.
  ASSERT_TRUE(runtime->flushEvents());
  EXPECT_GT(rec->uiLevels(), 0u) << "converted buffers feed the level readings";
}

TEST_F(RuntimeTest, ABufferWithoutConverterIsDroppedWithOneLogLineEach) {
  startRunning(request("s1"));
  const AudioFormat odd{SampleType::float32, 0.0, 1, false};
  ASSERT_TRUE(producer()->push(constantBuffer(odd, 100, 0.1)));
  ASSERT_TRUE(producer()->push(constantBuffer(odd, 100, 0.1)));
  ASSERT_TRUE(rec->awaitCount("log [captions] no converter", 2));
  const std::string line =
      "log [captions] no converter 0 Hz, 1 ch, float32, deinterleaved \u2192 16000 Hz, 1 ch, "
      "int16, "
      "interleaved";
  EXPECT_EQ(rec->matching("log [captions] no converter"), (std::vector<std::string>{line, line}));
  EXPECT_EQ(runtime->buffersFed(), 0);
}

// An unpaced file is read no faster than the recognizer takes it, so memory does not grow with the
// file's length (it used to be decoded to its end at once into an unbounded queue).
TEST_F(RuntimeTest, AFileIsReadNoFasterThanTheRecognizerTakesIt) {
  auto gate = std::make_shared<Gate>();
  FakeAnalyzerScript script;
  script.analyzeGate = gate;
  service->setAnalyzerScript(script);
  auto r = request("s1");
  r.source = CaptionAudioSource::file(
      "/usr/share/pocketsphinx/test/data/librivox/sense_and_sensibility_01_austen_64kb-0870.wav",
      false);
  startRunning(r);
  auto analyzer = service->lastAnalyzer();
  // 7.1 s of audio is 71 chunks; held back after a handful while the recognizer is stuck.
  EXPECT_FALSE(rec->awaitLine("log [captions] file source reached EOF after 7.1s of audio",
                              std::chrono::milliseconds(500)));
  EXPECT_LE(analyzer->buffers().size(), 1u);
  gate->open();
  EXPECT_TRUE(rec->awaitLine("log [captions] file source reached EOF after 7.1s of audio"));
  ASSERT_TRUE(stop("s1").isOk());
  EXPECT_EQ(analyzer->buffers().size(), 71u) << "every chunk reached the recognizer";
}

TEST_F(RuntimeTest, BuffersOutsideASessionChangeNothing) {
  runtime->ingest(constantBuffer(kMono16kFloat, 1600, 0.5));
  EXPECT_EQ(runtime->buffersFed(), 0);
  startRunning(request("s1"));
  ASSERT_TRUE(stop("s1").isOk());
  runtime->ingest(constantBuffer(kMono16kFloat, 1600, 0.5));  // a late delivery after stop
  EXPECT_EQ(runtime->buffersFed(), 0);
  EXPECT_FALSE(runtime->status().levelDb.has_value());
}

TEST_F(RuntimeTest, ResultsBecomeNumberedSegmentsWithRoundedTimes) {
  startRunning(request("s1"));
  // 17000 and 24008 in a 16000-per-second time scale: 1062.5 ms and 1500.5 ms round away from 0.
  recognize({result("  hello world \n", 17000.0 / 16000.0, 7008.0 / 16000.0, false),
             result("   ", 2.0, 0.5, false)});
  recognize({result(" hello world. ", 1.0, 0.6, true), result("next", 1.7, 0.2, false)});
  ASSERT_TRUE(rec->awaitCount("segment ", 3));
  EXPECT_EQ(rec->matching("segment "), (std::vector<std::string>{
                                           "segment s1 #1 volatile 1063-1501 [hello world] en-US",
                                           "segment s1 #2 final 1000-1600 [hello world.] en-US",
                                           "segment s1 #3 volatile 1700-1900 [next] en-US",
                                       }));
}

// A final carries the recognizer's words in milliseconds, inside its own range; a volatile carries
// none, even when the recognizer timed its words.
TEST_F(RuntimeTest, AFinalCarriesItsTimedWordsInsideItsRange) {
  startRunning(request("s1"));
  auto timed = [](speech::SpeechResult r, std::vector<speech::SpeechWord> words) {
    r.words = std::move(words);
    return r;
  };
  recognize({timed(result("hello", 1.0, 0.3, false), {{"hello", 1.0, 0.3}})});
  recognize(
      {timed(result("hello big world", 1.0, 1.0, true),
             {{" hello", 0.9, 0.3}, {"", 1.3, 0.1}, {"big", 1.3, 0.2}, {"world", 1.6, 0.6}})});
  ASSERT_TRUE(rec->awaitCount("segment ", 2));
  EXPECT_EQ(rec->matching("segment "),
            (std::vector<std::string>{
                "segment s1 #1 volatile 1000-1300 [hello] en-US",
                // The first word began before the final's range, the last ran past its end; the
                // word without text is dropped.
                "segment s1 #2 final 1000-2000 [hello big world] en-US "
                "words=hello@1000-1200,big@1300-1500,world@1600-2000",
            }));
}

TEST_F(RuntimeTest, AFailedRecognizerMovesOnlyItsOwnSessionToError) {
  // The first session's recognizer never finishes, so its stop gives up on it; when it comes
  // back later with results, the next session must not be touched.
  runtime = make(true, std::chrono::milliseconds(200));
  auto slow = std::make_shared<Gate>();
  FakeAnalyzerScript never;
  never.finishGate = slow;
  never.atFinish = {result("late words", 0.0, 1.0, true)};
  service->setAnalyzerScript(never);
  startRunning(request("s1"));
  ASSERT_TRUE(stop("s1").isOk());

  service->setAnalyzerScript({});
  startRunning(request("s2"));
  auto current = service->lastAnalyzer();
  current->failNext("decoder crashed");
  ASSERT_TRUE(producer()->push(constantBuffer(kAnalyzerFormat, 160, 0.0)));
  ASSERT_TRUE(rec->awaitLine(
      "state error s2 reason=transcriber results stream failed: decoder crashed level=-"));
  EXPECT_TRUE(rec->has("log [captions] results stream error: decoder crashed"));
  EXPECT_EQ(runtime->status().state, CaptionState::error);
  // Still busy: a start is refused and the host stops the session.
  std::optional<StartOutcome> refused;
  runtime->start(request("s3"), [&](StartOutcome o) { refused = o; });
  ASSERT_TRUE(refused && !refused->isOk());

  const size_t states = rec->matching("state ").size();
  slow->open();  // the abandoned recognizer of s1 ends now: its results are dropped
  ASSERT_TRUE(stop("s2").isOk());
  EXPECT_EQ(rec->matching("state ").size(), states + 1);  // only s2's stopped event
  EXPECT_TRUE(rec->matching("segment ").empty());
  EXPECT_EQ(runtime->status().state, CaptionState::stopped);
}

TEST_F(RuntimeTest, StopWaitsForTheDrainedResultsAndReportsFinalsAndSeconds) {
  FakeAnalyzerScript script;
  script.atFinish = {result("last words", 3.0, 0.5, true)};
  service->setAnalyzerScript(script);
  startRunning(request("s1"));
  recognize({result("first", 0.0, 1.0, true),
             result("firs", 0.0, 0.9, false),  // superseded by the final: coalesced
             result("sec", 1.0, 0.2, false)});
  ASSERT_TRUE(rec->awaitCount("segment ", 2));
  advance(3999);

  StopOutcome o = stop(std::nullopt);
  ASSERT_TRUE(o.isOk());
  EXPECT_EQ(o.value(), (CaptionRuntimeStopResult{2, 3}));
  const int finalSeg = rec->indexOf("segment s1 #3 final 3000-3500 [last words] en-US");
  const int stoppedState = rec->indexOf("state stopped s1 reason=- level=-");
  const int stoppedLog =
      rec->indexOf("log [captions] session s1 stopped: 2 finals, 3s, 1 volatiles coalesced");
  const int completion = rec->indexOf("completion stop");
  ASSERT_GE(finalSeg, 0) << ::testing::PrintToString(rec->lines());
  EXPECT_LT(finalSeg, stoppedState);
  EXPECT_LT(stoppedState, stoppedLog);
  EXPECT_LT(stoppedLog, completion);
  EXPECT_TRUE(producer()->stopped());
  EXPECT_TRUE(service->lastAnalyzer()->finished());

  auto status = runtime->status();
  EXPECT_EQ(status.state, CaptionState::stopped);
  EXPECT_EQ(status.sessionId, "s1");
  EXPECT_EQ(status.endedAtMs, kT0 + 3999);
}

TEST_F(RuntimeTest, AFailedFinishIsLoggedAndTheStopGoesOn) {
  FakeAnalyzerScript script;
  script.finishThrows = "flush failed";
  service->setAnalyzerScript(script);
  startRunning(request("s1"));
  ASSERT_TRUE(stop("s1").isOk());
  EXPECT_TRUE(rec->has("log [captions] finalize failed: flush failed"));
  EXPECT_TRUE(rec->has("log [captions] session s1 stopped: 0 finals, 0s, 0 volatiles coalesced"));
  startRunning(request("s2"));  // the runtime is free again
}

TEST_F(RuntimeTest, TheStopIsBoundedWhenTheRecognizerNeverFinishes) {
  runtime = make(true, std::chrono::milliseconds(200));
  auto never = std::make_shared<Gate>();
  FakeAnalyzerScript script;
  script.finishGate = never;
  service->setAnalyzerScript(script);
  startRunning(request("s1"));
  ASSERT_TRUE(stop("s1").isOk());
  EXPECT_TRUE(
      rec->has("log [captions] results of s1 did not end within 200ms of the stop; stopping "
               "without them"));
  EXPECT_TRUE(rec->has("log [captions] session s1 stopped: 0 finals, 0s, 0 volatiles coalesced"));
  startRunning(request("s2"));  // the runtime is free again
  never->open();
}

TEST_F(RuntimeTest, StopNamingAnotherSessionIsRefusedAndTheSessionGoesOn) {
  startRunning(request("s1"));
  std::optional<StopOutcome> refused;
  runtime->stop("other", [&](StopOutcome o) { refused = o; });
  ASSERT_TRUE(refused.has_value());
  const CaptionRuntimeFailure& f = refused->failure();
  EXPECT_EQ(f.code, CaptionRuntimeErrorCode::badRequest);
  EXPECT_EQ(f.message, "captionsStop names other but s1 is the running session");
  EXPECT_EQ(f.context, Json::parse(R"({"sessionId":"s1"})"));
  EXPECT_EQ(f.state, CaptionState::error);
  EXPECT_EQ(runtime->status().state, CaptionState::running);
  EXPECT_TRUE(runtime->fireWatchdogTimer());
}

TEST_F(RuntimeTest, IdleStopDescribesTheLastSessionOrAnswersZeros) {
  EXPECT_EQ(stop(std::nullopt).value(), (CaptionRuntimeStopResult{0, 0}));

  startRunning(request("s1"));
  recognize({result("one", 0.0, 1.0, true)});
  ASSERT_TRUE(rec->awaitCount("segment ", 1));
  advance(2500);
  EXPECT_EQ(stop("s1").value(), (CaptionRuntimeStopResult{1, 2}));
  const size_t events = rec->matching("state ").size() + rec->matching("log ").size();
  advance(10000);
  std::optional<StopOutcome> again;
  runtime->stop("s1", [&](StopOutcome o) { again = o; });
  ASSERT_TRUE(again.has_value()) << "an idle stop answers at once";
  EXPECT_EQ(again->value(), (CaptionRuntimeStopResult{1, 2}));
  EXPECT_EQ(stop("zzz").value(), (CaptionRuntimeStopResult{0, 0}));
  EXPECT_EQ(rec->matching("state ").size() + rec->matching("log ").size(), events)
      << "idle stops raise nothing";

  platform->setMakeThrows(CaptionRuntimeFailure(CaptionRuntimeErrorCode::captionsAudioUnavailable,
                                                "gone", std::nullopt, CaptionState::error, false));
  ASSERT_FALSE(start(request("s2")).isOk());
  advance(5000);
  EXPECT_EQ(stop("s2").value(), (CaptionRuntimeStopResult{0, 0}));
}

TEST_F(RuntimeTest, TwoStopsOfOneSessionTearItDownOnce) {
  startRunning(request("s1"));
  advance(1000);
  Await<StopOutcome> a, b;
  runtime->stop("s1", a.callback());
  runtime->stop(std::nullopt, b.callback());
  auto ra = a.get(), rb = b.get();
  ASSERT_TRUE(ra && rb && ra->isOk() && rb->isOk());
  EXPECT_EQ(ra->value(), (CaptionRuntimeStopResult{0, 1}));
  EXPECT_EQ(rb->value(), (CaptionRuntimeStopResult{0, 1}));
  EXPECT_EQ(rec->matching("state stopped").size(), 1u);
}

TEST_F(RuntimeTest, SetContextMatchesOnlyTheRunningSession) {
  EXPECT_EQ(setContext("s1", {"a"}).failure().message,
            "captionsSetContext names s1 but the running session is none");

  // While starting there is no analyzer yet: refused, naming the same session twice.
  auto gate = std::make_shared<Gate>();
  platform->setMakeGate(gate);
  Await<StartOutcome> started;
  runtime->start(request("s1"), started.callback());
  ASSERT_TRUE(gate->awaitArrival());
  const VoidOutcome starting = setContext("s1", {"a"});
  ASSERT_FALSE(starting.isOk());
  EXPECT_EQ(starting.failure().code, CaptionRuntimeErrorCode::badRequest);
  EXPECT_EQ(starting.failure().message,
            "captionsSetContext names s1 but the running session is s1");
  EXPECT_FALSE(starting.failure().context.has_value());
  gate->open();
  ASSERT_TRUE(started.get()->isOk());
  ASSERT_TRUE(rec->awaitLine("state running s1 reason=- level=-"));

  EXPECT_EQ(setContext("s2", {"a"}).failure().message,
            "captionsSetContext names s2 but the running session is s1");
  ASSERT_TRUE(setContext("s1", {"  Alpha  beta ", "alpha BETA", "", "Gamma"}).isOk());
  EXPECT_TRUE(rec->has("log [captions] context set: 2 terms"));
  ASSERT_TRUE(setContext("s1", {}).isOk());
  EXPECT_TRUE(rec->has("log [captions] context set: 0 terms"));
  EXPECT_EQ(service->lastAnalyzer()->contexts(),
            (std::vector<std::vector<std::string>>{{"Alpha beta", "Gamma"}, {}}));

  ASSERT_TRUE(stop("s1").isOk());
  EXPECT_EQ(setContext("s1", {"a"}).failure().message,
            "captionsSetContext names s1 but the running session is s1");
}

TEST_F(RuntimeTest, SetContextRefusedByTheAnalyzerIsAnInternalFailure) {
  startRunning(request("s1"));
  FakeAnalyzerScript script;
  script.setContextThrows = "grammar rejected";
  service->setAnalyzerScript(script);
  ASSERT_TRUE(stop("s1").isOk());
  startRunning(request("s2"));
  const VoidOutcome o = setContext("s2", {"x"});
  ASSERT_FALSE(o.isOk());
  EXPECT_EQ(o.failure().code, CaptionRuntimeErrorCode::internal);
  EXPECT_EQ(o.failure().message, "setContext failed: grammar rejected");
  EXPECT_EQ(o.failure().state, CaptionState::error);
}

TEST_F(RuntimeTest, StatusShowsTheLevelWhileFreshAndTheFloorOnceStale) {
  startRunning(request("s1"));
  EXPECT_FALSE(runtime->status().levelDb.has_value()) << "no level before any measurement";
  // Half scale at the analyzer's own rate: int16 16384 is 20 log10(0.5) = -6.02 dBFS.
  feed(constantBuffer(kMono16kFloat, 1600, 0.5));
  auto s = runtime->status();
  ASSERT_TRUE(s.levelDb.has_value());
  EXPECT_NEAR(*s.levelDb, -6.02, 0.01);
  EXPECT_EQ(s.nowMs, kT0);
  advance(3000);
  EXPECT_NEAR(*runtime->status().levelDb, -6.02, 0.01);
  advance(1);
  EXPECT_EQ(runtime->status().levelDb, -120.0);
}

}  // namespace
}  // namespace quorvel::testing
