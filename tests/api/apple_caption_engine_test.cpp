// The adapter onto the engine core: translation of runtime events and failures, the start
// checks, and what an engine whose core has no runtime answers. Runtime events are raised
// directly through the relay's callbacks, as the runtime raises them.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "caption_engine/api/apple_caption_engine.h"
#include "caption_engine/api/caption_engine_event_relay.h"
#include "caption_engine/api/caption_engine_translation.h"
#include "caption_engine/audio/caption_audio_platform.h"
#include "caption_engine/runtime/caption_engine_core.h"

namespace quorvel {
namespace {

// Two inputs and no audio.
class TwoInputPlatform final : public CaptionAudioPlatform {
 public:
  std::vector<CaptionAudioInput> listInputs() override {
    return {CaptionAudioInput{"mic-1", "Desk Mic", true, CaptionAudioInputKind::usb, std::nullopt},
            CaptionAudioInput{"mic-2", "Headset", false, CaptionAudioInputKind::headset, "note"}};
  }
  std::shared_ptr<CaptionAudioProducer> makeProducer(const CaptionAudioSource&) override {
    throw CaptionRuntimeFailure(CaptionRuntimeErrorCode::captionsAudioUnavailable, "no audio",
                                std::nullopt, CaptionState::error, false);
  }
};

// Everything an engine reported, in order.
struct Recorder {
  std::vector<CaptionEngineEvent> events;
  std::vector<CaptionLevelReadingEvent> readings;

  CaptionEngineObservers observers() {
    return CaptionEngineObservers([this](const CaptionEngineEvent& e) { events.push_back(e); });
  }
  CaptionLevelReadingObserver readingObserver() {
    return [this](const CaptionLevelReadingEvent& e) { readings.push_back(e); };
  }
};

// --- translation rules ---

TEST(CaptionEngineTranslation, RuntimeCodesMapOntoEngineCodes) {
  struct Case {
    CaptionRuntimeErrorCode runtime;
    CaptionEngineErrorCode engine;
  };
  const Case cases[] = {
      {CaptionRuntimeErrorCode::badRequest, CaptionEngineErrorCode::startFailed},
      {CaptionRuntimeErrorCode::unsupportedOp, CaptionEngineErrorCode::startFailed},
      {CaptionRuntimeErrorCode::internal, CaptionEngineErrorCode::startFailed},
      {CaptionRuntimeErrorCode::captionsUnsupported, CaptionEngineErrorCode::unsupported},
      {CaptionRuntimeErrorCode::captionsModelMissing, CaptionEngineErrorCode::modelMissing},
      {CaptionRuntimeErrorCode::captionsAudioUnavailable, CaptionEngineErrorCode::audioUnavailable},
      {CaptionRuntimeErrorCode::captionsStartFailed, CaptionEngineErrorCode::startFailed},
  };
  ASSERT_EQ(std::size(cases), allCaptionErrorCodes.size());
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(rawValue(c.runtime)));
    EXPECT_EQ(engineCode(c.runtime), c.engine);
    // The message and the retriable flag are copied; state and context are dropped.
    for (bool retriable : {false, true}) {
      CaptionRuntimeFailure failure(c.runtime, "what went wrong", Json{{"k", 1}},
                                    CaptionState::modelMissing, retriable);
      EXPECT_EQ(CaptionEngineTranslation::error(failure),
                CaptionEngineError(c.engine, "what went wrong", retriable));
    }
  }
}

// The kind names the engine that answers: sherpa once an installed locale runs on a neural model.
TEST(CaptionEngineTranslation, KindIsSherpaWhereANeuralModelAnswers) {
  CaptionRuntimeCapabilities caps{true, std::nullopt, {"en-US"}, {"en-US"}, {}};
  EXPECT_EQ(CaptionEngineTranslation::capabilities(caps).kind, CaptionEngineKind::apple);
  caps.neuralLocales = {"en-US"};
  const CaptionEngineCapabilities c = CaptionEngineTranslation::capabilities(caps);
  EXPECT_EQ(c.kind, CaptionEngineKind::sherpa);
  EXPECT_EQ(c.installedLocales, std::vector<std::string>{"en-US"});
}

TEST(CaptionEngineTranslation, StatusSecondsComeFromTheStatusMapping) {
  CaptionRuntimeStatus running{CaptionState::running, "s1", "en-US", 1000,
                               std::nullopt,          2500, -33.0,   4999};
  EXPECT_EQ(CaptionEngineTranslation::status(running),
            (CaptionEngineStatus{CaptionState::running, "s1", "en-US", 3.0, 2500.0, -33.0}));
  // An end before the start is 0 seconds, not -1.
  CaptionRuntimeStatus odd{CaptionState::stopped, "s1",         "en-US", 5000, 4000,
                           std::nullopt,          std::nullopt, 9000};
  EXPECT_EQ(CaptionEngineTranslation::status(odd).seconds, 0.0);
  EXPECT_EQ(CaptionEngineTranslation::status(odd).lastSpeechAtMs, std::nullopt);
}

// --- event translation through the relay ---

class RelayTest : public ::testing::Test {
 protected:
  std::shared_ptr<CaptionEngineEventRelay> relay = std::make_shared<CaptionEngineEventRelay>();
  CaptionRuntimeEvents events = CaptionEngineEventRelay::runtimeEvents(relay);
  Recorder recorder;

  void SetUp() override {
    relay->setObservers(recorder.observers());
    relay->setReadingObserver(recorder.readingObserver());
  }
};

TEST_F(RelayTest, ProgressReachesTheObserverAsRaised) {
  events.raiseAssetProgress("en-US", 0.25, false, std::nullopt);
  events.raiseAssetProgress("en-US", 1.0, true, "boom");
  ASSERT_EQ(recorder.events.size(), 2u);
  const auto* first = recorder.events[0].asAssetProgress();
  const auto* last = recorder.events[1].asAssetProgress();
  ASSERT_TRUE(first && last);
  EXPECT_EQ(first->id, "en-US");
  EXPECT_EQ(first->fraction, 0.25);
  EXPECT_FALSE(first->done);
  EXPECT_EQ(last->fraction, 1.0);
  EXPECT_TRUE(last->done);
  EXPECT_EQ(last->error, "boom");
}

TEST_F(RelayTest, SegmentKindIsFinalOnlyForTheTextFinal) {
  const std::pair<const char*, CaptionSegmentEvent::Kind> cases[] = {
      {"final", CaptionSegmentEvent::Kind::final},
      {"volatile", CaptionSegmentEvent::Kind::volatile_},
      {"Final", CaptionSegmentEvent::Kind::volatile_},
      {"", CaptionSegmentEvent::Kind::volatile_},
      {"partial", CaptionSegmentEvent::Kind::volatile_}};
  for (auto [kind, expected] : cases) {
    events.segment("s1", CaptionEmission{7, kind, 120, 980, "hello world"}, "en-US");
    ASSERT_FALSE(recorder.events.empty());
    EXPECT_EQ(recorder.events.back(), CaptionEngineEvent::segment(CaptionSegmentEvent{
                                          "s1", 7, expected, 120, 980, "hello world", "en-US"}))
        << "kind " << kind;
  }
}

// A final's timed words and the end of a file source reach the host as the runtime gave them.
TEST_F(RelayTest, WordsOfAFinalAndTheEndOfTheSourcePassUnchanged) {
  const std::vector<CaptionWord> words{{"hello", 120, 500}, {"world", 520, 980}};
  events.segment("s1", CaptionEmission{3, "final", 120, 980, "hello world", words}, "en-US");
  ASSERT_EQ(recorder.events.size(), 1u);
  EXPECT_EQ(recorder.events[0], CaptionEngineEvent::segment(
                                    CaptionSegmentEvent{"s1", 3, CaptionSegmentEvent::Kind::final,
                                                        120, 980, "hello world", "en-US", words}));

  std::vector<CaptionSourceEndedEvent> ended;
  CaptionEngineObservers observers = recorder.observers();
  observers.onSourceEnded = [&](const CaptionSourceEndedEvent& e) { ended.push_back(e); };
  relay->setObservers(observers);
  events.sourceEnded("s1", 7100);
  EXPECT_EQ(ended, (std::vector<CaptionSourceEndedEvent>{{"s1", 7100}}));
  EXPECT_EQ(recorder.events.size(), 1u) << "the end of a source is not one of the five events";
}

TEST_F(RelayTest, StateLevelLogAndReadingsPassUnchanged) {
  events.state(CaptionState::noAudio, "s1", "no speech", -61.5);
  events.state(CaptionState::idle, std::nullopt, std::nullopt, std::nullopt);
  events.level("s1", -44.25);
  events.log("[captions] a line");
  events.assetProgress("fr-FR", 1.0, true, "failed");
  events.uiLevel("s1", CaptionLevelReading{-18.0, std::vector<double>(13, -50.0)});
  ASSERT_EQ(recorder.events.size(), 5u);
  EXPECT_EQ(recorder.events[0], CaptionEngineEvent::state(CaptionStateEvent{
                                    "s1", CaptionState::noAudio, "no speech", -61.5}));
  EXPECT_EQ(recorder.events[1], CaptionEngineEvent::state(CaptionStateEvent{}));
  EXPECT_EQ(recorder.events[2], CaptionEngineEvent::level(CaptionLevelEvent{"s1", -44.25}));
  EXPECT_EQ(recorder.events[3], CaptionEngineEvent::log("[captions] a line"));
  EXPECT_EQ(recorder.events[4], CaptionEngineEvent::assetProgress(
                                    CaptionAssetProgressEvent{"fr-FR", 1.0, true, "failed"}));
  ASSERT_EQ(recorder.readings.size(), 1u);
  EXPECT_EQ(recorder.readings[0],
            (CaptionLevelReadingEvent{"s1", -18.0, std::vector<double>(13, -50.0)}));
}

TEST_F(RelayTest, UnsetObserversDropTheirEvents) {
  relay->setObservers(CaptionEngineObservers{});
  relay->setReadingObserver(nullptr);
  events.log("dropped");
  events.segment("s1", CaptionEmission{1, "final", 0, 1, "x"}, "en-US");
  events.uiLevel("s1", CaptionLevelReading{});
  EXPECT_TRUE(recorder.events.empty());
  EXPECT_TRUE(recorder.readings.empty());
}

TEST_F(RelayTest, EventsRaisedAfterTheRelayIsGoneAreDropped) {
  relay.reset();  // the engine that owned it has been released
  events.state(CaptionState::stopped, "s1", std::nullopt, std::nullopt);
  events.level("s1", -10.0);
  events.assetProgress("en-US", 0.5, false, std::nullopt);
  events.segment("s1", CaptionEmission{1, "final", 0, 1, "x"}, "en-US");
  events.log("late");
  events.uiLevel("s1", CaptionLevelReading{});
  EXPECT_TRUE(recorder.events.empty());
  EXPECT_TRUE(recorder.readings.empty());
}

// --- the engine on a core without a runtime ---

class EngineWithoutRuntimeTest : public ::testing::Test {
 protected:
  AppleCaptionEngine engine{std::make_shared<TwoInputPlatform>(), nullptr};
  Recorder recorder;
  const std::string reason = CaptionEngineCore::buildUnsupportedReason;

  void SetUp() override { engine.setObservers(recorder.observers()); }

  static CaptionEngineStartArgs args(std::string sessionId, std::string locale) {
    CaptionEngineStartArgs a;
    a.sessionId = std::move(sessionId);
    a.locale = std::move(locale);
    a.source = CaptionAudioSource::file("/tmp/x.wav", false);
    return a;
  }
};

TEST_F(EngineWithoutRuntimeTest, BlankSessionOrLocaleIsRefusedBeforeTheCore) {
  const std::pair<const char*, const char*> cases[] = {
      {"   ", "en-US"}, {"s1", ""}, {"\t\n", " \n"}, {"s1", "\u00a0\u2003"}};
  for (auto [session, locale] : cases) {
    try {
      engine.start(args(session, locale));
      FAIL() << "start did not throw";
    } catch (const CaptionEngineError& e) {
      EXPECT_EQ(e.code(), CaptionEngineErrorCode::startFailed);
      EXPECT_EQ(e.message(), "a start needs a session and a locale");
      EXPECT_FALSE(e.retriable());
    }
  }
  // The core was not called: it would have raised an unsupported state event.
  EXPECT_TRUE(recorder.events.empty());
}

TEST_F(EngineWithoutRuntimeTest, StartRaisesTheUnsupportedNoticeThenThrows) {
  try {
    engine.start(args("  s1\n", " en-US\n"));
    FAIL() << "start did not throw";
  } catch (const CaptionEngineError& e) {
    EXPECT_EQ(e.code(), CaptionEngineErrorCode::unsupported);
    EXPECT_EQ(e.message(), reason);
    EXPECT_FALSE(e.retriable());
  }
  ASSERT_EQ(recorder.events.size(), 1u);
  // The session id reaches the core trimmed.
  EXPECT_EQ(recorder.events[0], CaptionEngineEvent::state(CaptionStateEvent{
                                    "s1", CaptionState::unsupported, reason, std::nullopt}));
}

TEST_F(EngineWithoutRuntimeTest, InstallLocaleRaisesProgressThenThrows) {
  try {
    engine.installLocale("en-US");
    FAIL() << "installLocale did not throw";
  } catch (const CaptionEngineError& e) {
    EXPECT_EQ(e.code(), CaptionEngineErrorCode::unsupported);
    EXPECT_EQ(e.message(), reason);
  }
  ASSERT_EQ(recorder.events.size(), 1u);
  EXPECT_EQ(recorder.events[0], CaptionEngineEvent::assetProgress(
                                    CaptionAssetProgressEvent{"en-US", 0.0, true, reason}));
}

TEST_F(EngineWithoutRuntimeTest, OtherOperationsAnswerUnsupportedWithoutEvents) {
  EXPECT_EQ(engine.kind(), CaptionEngineKind::apple);
  EXPECT_EQ(engine.stop("s1"), CaptionEngineStopAck::nothing);
  EXPECT_EQ(engine.stop(std::nullopt), CaptionEngineStopAck::nothing);
  EXPECT_FALSE(engine.reserveLocale("en-US"));
  try {
    engine.setTerms("s1", {"alpha"});
    FAIL() << "setTerms did not throw";
  } catch (const CaptionEngineError& e) {
    EXPECT_EQ(e.code(), CaptionEngineErrorCode::unsupported);
  }
  EXPECT_EQ(engine.capabilities(),
            (CaptionEngineCapabilities{CaptionEngineKind::apple, false, reason, {}, {}}));
  const CaptionEngineStatus status = engine.status();
  EXPECT_EQ(status.state, CaptionState::unsupported);
  EXPECT_EQ(status.sessionId, std::nullopt);
  EXPECT_EQ(status.seconds, 0.0);
  EXPECT_NO_THROW(engine.dispose());
  EXPECT_TRUE(recorder.events.empty());
}

TEST_F(EngineWithoutRuntimeTest, InputsComeFromThePlatform) {
  const auto inputs = engine.listInputs();
  ASSERT_EQ(inputs.size(), 2u);
  EXPECT_EQ(inputs[0].id, "mic-1");
  EXPECT_TRUE(inputs[0].isDefault);
  EXPECT_EQ(inputs[1].note, "note");
}

TEST_F(EngineWithoutRuntimeTest, EngineStaysUsableAfterDispose) {
  engine.dispose();
  EXPECT_THROW(engine.start(args("s2", "en-US")), CaptionEngineError);
  ASSERT_EQ(recorder.events.size(), 1u);
  EXPECT_EQ(recorder.events[0].asState()->sessionId, "s2");
}

TEST_F(EngineWithoutRuntimeTest, ObserverMayCallBackIntoTheEngine) {
  // The observer runs outside the engine's lock, so it can replace the observers and ask for
  // the status from inside its own callback.
  std::vector<CaptionState> seen;
  engine.setObservers(CaptionEngineObservers(
      nullptr,
      [&](const CaptionStateEvent&) {
        seen.push_back(engine.status().state);
        engine.setObservers(CaptionEngineObservers{});
      },
      nullptr, nullptr, nullptr));
  EXPECT_THROW(engine.start(args("s1", "en-US")), CaptionEngineError);
  EXPECT_THROW(engine.start(args("s2", "en-US")), CaptionEngineError);
  EXPECT_EQ(seen, std::vector<CaptionState>{CaptionState::unsupported});
}

}  // namespace
}  // namespace quorvel
