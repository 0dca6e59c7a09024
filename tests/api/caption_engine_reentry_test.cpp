// A host callback may call back into the engine: a stop from inside any observer completes as
// promptly as any other stop, with the finals drained at the stop counted. (A stop from inside a
// callback used to hang: teardown waited for, or joined, the very thread that was running the
// callback; from onSegment it stalled for the whole results drain limit and answered 0 finals.)
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "caption_engine/api/apple_caption_engine.h"
#include "tests/runtime/fake_speech_service.h"

namespace quorvel::testing {
namespace {

using namespace std::chrono_literals;

speech::SpeechResult finalResult(std::string text, double start) {
  speech::SpeechResult r;
  r.text = std::move(text);
  r.rangeStartSeconds = start;
  r.rangeDurationSeconds = 0.5;
  r.isFinal = true;
  return r;
}

// What the callback that stops the session saw, handed back to the test thread.
struct Reentry {
  std::mutex m;
  std::condition_variable cv;
  bool armed = true;
  std::optional<CaptionEngineStopAck> ack;
  std::optional<CaptionEngineStatus> status;

  // Called from the observer: stops once, from inside the callback.
  void stopFrom(CaptionEngine& engine) {
    {
      std::lock_guard lock(m);
      if (!armed) return;
      armed = false;
    }
    CaptionEngineStopAck a = engine.stop(std::nullopt);
    CaptionEngineStatus st = engine.status();
    std::lock_guard lock(m);
    ack = a;
    status = st;
    cv.notify_all();
  }
  bool awaitStopped(std::chrono::seconds limit) {
    std::unique_lock lock(m);
    return cv.wait_for(lock, limit, [&] { return ack.has_value(); });
  }
};

struct Case {
  const char* name;
  // Installs the observer that stops the session when its event comes.
  std::function<void(CaptionEngine&, Reentry&, CaptionEngineObservers&)> observe;
  // Brings the event about once the session runs (nothing for events of the start itself).
  std::function<void(FakeProducer&)> provoke;
  // Finals the stop must report; -1 for the stop from the starting event, which may land
  // before or after bring-up has finished.
  int64_t finals;
};

std::vector<Case> cases() {
  const auto loud = [] {
    return constantBuffer({SampleType::float32, 16000.0, 1, false}, 1600, 0.5);
  };
  return {
      {"onState starting",
       [](CaptionEngine& e, Reentry& r, CaptionEngineObservers& o) {
         o.onState = [&e, &r](const CaptionStateEvent& ev) {
           if (ev.state == CaptionState::starting) r.stopFrom(e);
         };
       },
       nullptr, -1},
      {"onState running",
       [](CaptionEngine& e, Reentry& r, CaptionEngineObservers& o) {
         o.onState = [&e, &r](const CaptionStateEvent& ev) {
           if (ev.state == CaptionState::running) r.stopFrom(e);
         };
       },
       nullptr, 1},
      {"onState no_audio",
       [](CaptionEngine& e, Reentry& r, CaptionEngineObservers& o) {
         o.onState = [&e, &r](const CaptionStateEvent& ev) {
           if (ev.state == CaptionState::noAudio) r.stopFrom(e);
         };
       },
       [](FakeProducer& p) { p.path(CaptionAudioPathEvent::held("input_lost")); }, 1},
      {"onLevel",
       [](CaptionEngine& e, Reentry& r, CaptionEngineObservers& o) {
         o.onLevel = [&e, &r](const CaptionLevelEvent&) { r.stopFrom(e); };
       },
       [loud](FakeProducer& p) { p.push(loud()); }, 1},
      {"level readings",
       [](CaptionEngine& e, Reentry& r, CaptionEngineObservers&) {
         e.setLevelReadingObserver([&e, &r](const CaptionLevelReadingEvent&) { r.stopFrom(e); });
       },
       [loud](FakeProducer& p) { p.push(loud()); }, 1},
      {"onLog",
       [](CaptionEngine& e, Reentry& r, CaptionEngineObservers& o) {
         o.onLog = [&e, &r](const std::string& line) {
           if (line.find("reached EOF") != std::string::npos) r.stopFrom(e);
         };
       },
       [](FakeProducer& p) { p.log("[captions] file source reached EOF after 7.1s of audio"); }, 1},
      {"onSegment",
       [](CaptionEngine& e, Reentry& r, CaptionEngineObservers& o) {
         o.onSegment = [&e, &r](const CaptionSegmentEvent& ev) {
           if (ev.kind == CaptionSegmentEvent::Kind::final) r.stopFrom(e);
         };
       },
       nullptr, 2},
  };
}

TEST(CaptionEngineReentry, AStopFromInsideAnyCallbackCompletesWithItsFigures) {
#ifndef QUORVEL_TEST_HAS_RECOGNIZER
  // A build without a recognizer never makes a runtime, not even on a given speech service: its
  // engine answers every start as unsupported, so no callback of a session ever runs.
  GTEST_SKIP() << "built without a recognizer";
#endif
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    auto service = std::make_shared<FakeSpeechService>();
    auto platform = std::make_shared<FakePlatform>();
    FakeAnalyzerScript script;
    script.atFinish = {finalResult("drained at the stop", 5.0)};
    service->setAnalyzerScript(script);
    AppleCaptionEngine engine(platform, service);
    Reentry reentry;
    CaptionEngineObservers observers;
    c.observe(engine, reentry, observers);
    engine.setObservers(observers);

    CaptionEngineStartArgs args{"s1",  "en-US", CaptionAudioSource::systemDefault(), true, {},
                                false, false};
    try {
      engine.start(args);
    } catch (const CaptionEngineError& e) {
      // Only the stop from the starting event may end the start.
      EXPECT_EQ(std::string(c.name), "onState starting") << e.message();
    }
    if (std::string(c.name) == "onSegment") {
      // A final in the session's first buffer.
      auto analyzer = service->lastAnalyzer();
      ASSERT_TRUE(analyzer);
      analyzer->push(finalResult("first words", 0.0));
      platform->lastProducer()->push(
          constantBuffer({SampleType::int16, 16000.0, 1, true}, 160, 0.0));
    } else if (c.provoke) {
      c.provoke(*platform->lastProducer());
    }

    ASSERT_TRUE(reentry.awaitStopped(10s)) << "the stop from inside the callback never returned";
    if (c.finals >= 0) {
      EXPECT_EQ(reentry.ack->finals, c.finals);
    }
    EXPECT_EQ(reentry.status->state, CaptionState::stopped);
    // The engine is free again.
    EXPECT_NO_THROW(engine.start(args));
    EXPECT_EQ(engine.stop(std::nullopt).finals, 1);
  }
}

}  // namespace
}  // namespace quorvel::testing
