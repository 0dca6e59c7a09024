// Session start: busy refusal, the bring-up failure table with its cleanup, the order of events
// of a successful start, and a stop that arrives while the session is still starting.
#include "tests/runtime/runtime_test_support.h"

namespace quorvel::testing {
namespace {

TEST_F(RuntimeTest, SecondStartIsRefusedSynchronouslyAndLeavesTheSessionUntouched) {
  startRunning(request("s1"));
  const size_t before = rec->lines().size();

  std::optional<StartOutcome> refused;
  runtime->start(request("s2"), [&](StartOutcome o) { refused = o; });
  ASSERT_TRUE(refused.has_value()) << "the refusal must come on the caller's thread";
  const CaptionRuntimeFailure& f = refused->failure();
  EXPECT_EQ(f.code, CaptionRuntimeErrorCode::captionsStartFailed);
  EXPECT_EQ(f.message, "a caption session is already running (s1) \u2014 stop it first");
  EXPECT_EQ(f.context, Json::parse(R"({"reason":"busy","sessionId":"s1"})"));
  EXPECT_EQ(f.state, CaptionState::running);
  EXPECT_FALSE(f.retriable);
  EXPECT_EQ(rec->lines().size(), before) << "a refusal raises no event";
  EXPECT_EQ(runtime->status().state, CaptionState::running);
  EXPECT_EQ(runtime->status().sessionId, "s1");
}

TEST_F(RuntimeTest, SuccessfulStartRaisesStartingFirstAndRunningAfterTheCompletion) {
  auto r = request("s1");
  r.terms = {"Quorvel", "caption"};
  StartOutcome o = start(r);
  ASSERT_TRUE(o.isOk());
  EXPECT_EQ(o.value().locale, "en-US");
  EXPECT_EQ(o.value().startedAtMs, kT0);
  ASSERT_TRUE(rec->awaitLine("state running s1 reason=- level=-"));

  EXPECT_EQ(rec->lines(), (std::vector<std::string>{
                              "state starting s1 reason=- level=-",
                              "log [captions] session s1 running: locale=en-US fast=true terms=2 "
                              "profanityFilter=false format=16000 Hz, 1 ch, int16, interleaved",
                              "completion start s1",
                              "state running s1 reason=- level=-",
                          }));
  auto status = runtime->status();
  EXPECT_EQ(status.state, CaptionState::running);
  EXPECT_EQ(status.locale, "en-US");
  EXPECT_EQ(status.startedAtMs, kT0);
  EXPECT_EQ(service->lastAnalyzer()->contexts(),
            (std::vector<std::vector<std::string>>{{"Quorvel", "caption"}}));
  EXPECT_TRUE(producer()->started());
}

TEST_F(RuntimeTest, TranscriberOptionsFollowFastAndProfanityFilter) {
  struct Case {
    bool fast, profanity;
    speech::TranscriberOptions expected;
  };
  const Case cases[] = {
      {true, false, {false, true, true, true}},
      {false, false, {false, true, false, true}},
      {false, true, {true, true, false, true}},
  };
  for (const Case& c : cases) {
    auto r = request("s-opts");
    r.fast = c.fast;
    r.profanityFilter = c.profanity;
    startRunning(r);
    EXPECT_EQ(service->lastTranscriber()->options(), c.expected)
        << "fast=" << c.fast << " profanity=" << c.profanity;
    ASSERT_TRUE(stop("s-opts").isOk());
  }
}

TEST_F(RuntimeTest, EmptyTermsSetNoContextAndAFailedContextDoesNotFailTheStart) {
  startRunning(request("s1"));
  EXPECT_TRUE(service->lastAnalyzer()->contexts().empty());
  ASSERT_TRUE(stop("s1").isOk());

  FakeAnalyzerScript script;
  script.setContextThrows = "terms rejected";
  service->setAnalyzerScript(script);
  auto r = request("s2");
  r.terms = {"one"};
  startRunning(r);
  EXPECT_TRUE(rec->has("log [captions] setContext at start failed: terms rejected"));
}

struct FailureCase {
  const char* name;
  std::function<void(FakeSpeechService&, FakePlatform&, CaptionsStartRequest&)> arrange;
  CaptionRuntimeErrorCode code;
  std::string message;
  std::optional<Json> context;
  CaptionState state;
};

CaptionRuntimeFailure audioFailure(const std::string& message) {
  return CaptionRuntimeFailure(CaptionRuntimeErrorCode::captionsAudioUnavailable, message,
                               std::nullopt, CaptionState::error, false);
}

std::vector<FailureCase> failureCases() {
  return {
      {"the audio layer cannot open the input",
       [](FakeSpeechService&, FakePlatform& p, CaptionsStartRequest&) {
         p.setMakeFailsWith(
             CaptionAudioError("audio input x is not connected", {{"uniqueID", "x"}}));
       },
       CaptionRuntimeErrorCode::captionsAudioUnavailable, "audio input x is not connected",
       Json::parse(R"({"uniqueID":"x"})"), CaptionState::error},
      {"producer cannot be made",
       [](FakeSpeechService&, FakePlatform& p, CaptionsStartRequest&) {
         p.setMakeThrows(audioFailure("no audio input device with id mic-9"));
       },
       CaptionRuntimeErrorCode::captionsAudioUnavailable, "no audio input device with id mic-9",
       std::nullopt, CaptionState::error},
      {"unsupported locale",
       [](FakeSpeechService&, FakePlatform&, CaptionsStartRequest& r) { r.locale = "xx-YY"; },
       CaptionRuntimeErrorCode::captionsModelMissing,
       "locale xx-YY is not one SpeechTranscriber supports on this Mac",
       Json::parse(R"({"reason":"unsupported_locale","locale":"xx-YY"})"),
       CaptionState::modelMissing},
      {"model not installed",
       [](FakeSpeechService&, FakePlatform&, CaptionsStartRequest& r) { r.locale = "fr-FR"; },
       CaptionRuntimeErrorCode::captionsModelMissing,
       "the on-device model for fr-FR is not installed (pass installIfMissing to download it)",
       Json::parse(R"({"reason":"not_installed","locale":"fr-FR"})"), CaptionState::modelMissing},
      {"installation fails",
       [](FakeSpeechService& s, FakePlatform&, CaptionsStartRequest& r) {
         r.locale = "fr-FR";
         r.installIfMissing = true;
         s.setInstallMode(FakeSpeechService::InstallMode::requestFails, "disk full");
       },
       CaptionRuntimeErrorCode::captionsModelMissing, "installing fr-FR assets failed: disk full",
       Json::parse(R"({"locale":"fr-FR"})"), CaptionState::modelMissing},
      {"model cannot be loaded",
       [](FakeSpeechService& s, FakePlatform&, CaptionsStartRequest&) {
         s.setMakeAnalyzerThrows("acoustic model unreadable");
       },
       CaptionRuntimeErrorCode::captionsStartFailed,
       "caption start failed: acoustic model unreadable", std::nullopt, CaptionState::error},
      {"no compatible format",
       [](FakeSpeechService& s, FakePlatform&, CaptionsStartRequest&) {
         FakeAnalyzerScript script;
         script.format.reset();
         s.setAnalyzerScript(script);
       },
       CaptionRuntimeErrorCode::captionsStartFailed,
       "no compatible analyzer audio format on this Mac", std::nullopt, CaptionState::error},
      {"analyzer refuses to start",
       [](FakeSpeechService& s, FakePlatform&, CaptionsStartRequest&) {
         FakeAnalyzerScript script;
         script.startThrows = "decoder busy";
         s.setAnalyzerScript(script);
       },
       CaptionRuntimeErrorCode::captionsStartFailed,
       "SpeechAnalyzer refused to start: decoder busy", std::nullopt, CaptionState::error},
      {"producer refuses to start",
       [](FakeSpeechService&, FakePlatform& p, CaptionsStartRequest&) {
         p.setNextStartThrows(audioFailure("capture of mic-1 could not start"));
       },
       CaptionRuntimeErrorCode::captionsAudioUnavailable, "capture of mic-1 could not start",
       std::nullopt, CaptionState::error},
  };
}

TEST_F(RuntimeTest, EveryBringUpFailureReportsExactlyAndCleansUp) {
  for (const FailureCase& c : failureCases()) {
    SCOPED_TRACE(c.name);
    rec = std::make_shared<Recorder>();
    service = std::make_shared<FakeSpeechService>();
    platform = std::make_shared<FakePlatform>();
    runtime = make();
    auto r = request("s1");
    c.arrange(*service, *platform, r);

    StartOutcome o = start(r);
    ASSERT_FALSE(o.isOk());
    const CaptionRuntimeFailure& f = o.failure();
    EXPECT_EQ(f.code, c.code);
    EXPECT_EQ(f.message, c.message);
    EXPECT_EQ(f.context, c.context);
    EXPECT_EQ(f.state, c.state);
    EXPECT_FALSE(f.retriable);

    // starting first; then the failure state, the log line, and the completion last.
    const auto lines = rec->lines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines.front(), "state starting s1 reason=- level=-");
    EXPECT_EQ(lines[lines.size() - 3],
              "state " + std::string(rawValue(c.state)) + " s1 reason=" + c.message + " level=-");
    EXPECT_EQ(lines[lines.size() - 2], "log [captions] start failed: " + c.message);
    EXPECT_EQ(lines.back(), "completion start s1");

    // Cleanup: the producer is stopped, a started session thread has ended, nothing is busy.
    if (auto p = producer()) {
      EXPECT_TRUE(p->stopped());
    }
    EXPECT_EQ(runtime->sessionThreadsRunning(), 0);
    auto status = runtime->status();
    EXPECT_EQ(status.state, c.state);
    EXPECT_FALSE(status.startedAtMs.has_value());
    EXPECT_EQ(status.endedAtMs, kT0);
    EXPECT_FALSE(runtime->fireWatchdogTimer());

    // A new start with the same id proceeds once the cause is gone.
    platform->setMakeThrows(std::nullopt);
    platform->setMakeFailsWith(std::nullopt);
    service->setMakeAnalyzerThrows(std::nullopt);
    service->setAnalyzerScript({});
    startRunning(request("s1"));
    ASSERT_TRUE(stop("s1").isOk());
  }
}

TEST_F(RuntimeTest, AProducerFailureComesBeforeAnyLocaleWork) {
  platform->setMakeThrows(audioFailure("microphone access was not granted"));
  ASSERT_FALSE(start(request("s1")).isOk());
  EXPECT_EQ(service->transcribersMade(), 0);
}

TEST_F(RuntimeTest, InstallIfMissingInstallsWithProgressThenRuns) {
  auto r = request("s1");
  r.locale = "fr-FR";
  r.installIfMissing = true;
  startRunning(r);
  auto progress = rec->matching("progress ");
  EXPECT_EQ(progress, (std::vector<std::string>{"progress fr-FR 0.00 running error=-",
                                                "progress fr-FR 1.00 done error=-"}));
  EXPECT_LT(rec->indexOf("progress fr-FR 1.00 done error=-"), rec->indexOf("completion start s1"));
}

// A stop that arrives while bring-up is still under way must leave no session running once it
// has completed: bring-up is cancelled at its next step and the start fails as "stopped".
TEST_F(RuntimeTest, StopDuringStartUpCancelsBringUpBeforeTheProducerIsMade) {
  auto gate = std::make_shared<Gate>();
  platform->setMakeGate(gate);
  Await<StartOutcome> started;
  runtime->start(request("s1"), started.callback(rec, "start s1"));
  ASSERT_TRUE(gate->awaitArrival());

  Await<StopOutcome> stopped;
  runtime->stop(std::nullopt, stopped.callback(rec, "stop"));
  EXPECT_FALSE(stopped.ready()) << "the stop waits for bring-up";
  gate->open();

  auto s = stopped.get();
  ASSERT_TRUE(s && s->isOk());
  EXPECT_EQ(s->value(), (CaptionRuntimeStopResult{0, 0}));
  auto st = started.get();
  ASSERT_TRUE(st.has_value());
  ASSERT_FALSE(st->isOk());
  EXPECT_EQ(st->failure().message, "caption session s1 was stopped while starting");
  EXPECT_EQ(st->failure().state, CaptionState::stopped);
  EXPECT_LT(rec->indexOf("completion start s1"), rec->indexOf("completion stop"));

  EXPECT_EQ(runtime->status().state, CaptionState::stopped);
  EXPECT_TRUE(producer()->stopped());
  EXPECT_FALSE(producer()->started());
  EXPECT_EQ(service->transcribersMade(), 0);
  EXPECT_TRUE(rec->matching("state running").empty());
  startRunning(request("s2"));
}

TEST_F(RuntimeTest, StopDuringStartUpAfterTheModelLoadedEndsItAndNeverStartsAudio) {
  auto gate = std::make_shared<Gate>();
  FakeAnalyzerScript script;
  script.startGate = gate;
  service->setAnalyzerScript(script);
  Await<StartOutcome> started;
  runtime->start(request("s1"), started.callback(rec, "start s1"));
  ASSERT_TRUE(gate->awaitArrival());

  Await<StopOutcome> stopped;
  runtime->stop("s1", stopped.callback(rec, "stop"));
  gate->open();
  auto s = stopped.get();
  ASSERT_TRUE(s && s->isOk());
  auto st = started.get();
  ASSERT_TRUE(st && !st->isOk());

  EXPECT_EQ(runtime->sessionThreadsRunning(), 0);
  EXPECT_FALSE(producer()->started());
  EXPECT_TRUE(producer()->stopped());
  EXPECT_FALSE(runtime->fireWatchdogTimer());
  EXPECT_EQ(rec->matching("state ").back(),
            "state stopped s1 reason=caption session s1 was stopped while starting level=-");
}

// A source that never opens must not wedge the session slot: the stop gives the start up after a
// bounded wait, answers for both, and the start's late producer is stopped when it finally comes.
// (A stop used to wait for such a start without bound, and every later start was refused.)
TEST_F(RuntimeTest, AStopGivesUpAStartWhoseSourceNeverOpens) {
  CaptionRuntimeImpl::Options o;
  o.clock = [c = clock] { return c->load(); };
  o.manualWatchdog = true;
  o.startWaitLimit = std::chrono::milliseconds(200);
  runtime = CaptionRuntimeImpl::create(Recorder::events(rec), platform, service, o);
  auto gate = std::make_shared<Gate>();
  platform->setMakeGate(gate);
  Await<StartOutcome> started;
  runtime->start(request("s1"), started.callback(rec, "start s1"));
  ASSERT_TRUE(gate->awaitArrival());

  const StopOutcome stopped = stop("s1");
  ASSERT_TRUE(stopped.isOk());
  EXPECT_EQ(stopped.value(), (CaptionRuntimeStopResult{0, 0}));
  auto st = started.get();
  ASSERT_TRUE(st && !st->isOk());
  EXPECT_EQ(st->failure().message, "caption session s1 was stopped while starting");
  EXPECT_LT(
      rec->indexOf("state stopped s1 reason=caption session s1 was stopped while starting level=-"),
      rec->indexOf("completion start s1"));
  EXPECT_LT(rec->indexOf("completion start s1"), rec->indexOf("completion stop"));
  EXPECT_EQ(runtime->status().state, CaptionState::stopped);

  // The slot is free at once, while the first start is still stuck.
  platform->setMakeGate(nullptr);
  startRunning(request("s2"));
  auto second = producer();
  gate->open();  // the first start's source opens at last: it changes nothing
  ASSERT_TRUE(stop("s2").isOk());
  EXPECT_EQ(rec->matching("state running").size(), 1u);
  EXPECT_EQ(rec->matching("completion start").size(), 2u) << "each start answered once";
  EXPECT_TRUE(second->stopped());
}

TEST_F(RuntimeTest, ADestroyedRuntimeLeavesItsProducerCallbacksHarmless) {
  startRunning(request("s1"));
  auto p = producer();
  runtime.reset();
  EXPECT_TRUE(p->push(constantBuffer(kMono16kFloat, 1600, 0.5)));
  EXPECT_TRUE(p->path(CaptionAudioPathEvent::held("interrupted")));
}

}  // namespace
}  // namespace quorvel::testing
