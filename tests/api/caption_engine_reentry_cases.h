// Stopping the engine from inside each kind of host callback: the callbacks, how each is brought
// about, and one session that a callback stops. Shared by the reentry test, which checks
// what the stop answers, and the reentry bench, which times it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "caption_engine/api/apple_caption_engine.h"
#include "tests/runtime/fake_speech_service.h"

namespace quorvel::testing::reentry {

using namespace std::chrono_literals;

inline speech::SpeechResult finalResult(std::string text, double start) {
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
  std::chrono::steady_clock::duration stopTook{};  // how long the engine's stop() took

  // Called from the observer: stops once, from inside the callback.
  void stopFrom(CaptionEngine& engine) {
    {
      std::lock_guard lock(m);
      if (!armed) return;
      armed = false;
    }
    const auto began = std::chrono::steady_clock::now();
    CaptionEngineStopAck a = engine.stop(std::nullopt);
    const auto took = std::chrono::steady_clock::now() - began;
    CaptionEngineStatus st = engine.status();
    std::lock_guard lock(m);
    ack = a;
    status = st;
    stopTook = took;
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
  std::function<void(FakeSpeechService&, FakeProducer&)> provoke;
  // Finals the stop must report; -1 for the stop from the starting event, which may land
  // before or after bring-up has finished.
  int64_t finals;
};

inline std::vector<Case> cases() {
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
       [](FakeSpeechService&, FakeProducer& p) {
         p.path(CaptionAudioPathEvent::held("input_lost"));
       },
       1},
      {"onLevel",
       [](CaptionEngine& e, Reentry& r, CaptionEngineObservers& o) {
         o.onLevel = [&e, &r](const CaptionLevelEvent&) { r.stopFrom(e); };
       },
       [loud](FakeSpeechService&, FakeProducer& p) { p.push(loud()); }, 1},
      {"level readings",
       [](CaptionEngine& e, Reentry& r, CaptionEngineObservers&) {
         e.setLevelReadingObserver([&e, &r](const CaptionLevelReadingEvent&) { r.stopFrom(e); });
       },
       [loud](FakeSpeechService&, FakeProducer& p) { p.push(loud()); }, 1},
      {"onLog",
       [](CaptionEngine& e, Reentry& r, CaptionEngineObservers& o) {
         o.onLog = [&e, &r](const std::string& line) {
           if (line.find("reached EOF") != std::string::npos) r.stopFrom(e);
         };
       },
       [](FakeSpeechService&, FakeProducer& p) {
         p.log("[captions] file source reached EOF after 7.1s of audio");
       },
       1},
      {"onSegment",
       [](CaptionEngine& e, Reentry& r, CaptionEngineObservers& o) {
         o.onSegment = [&e, &r](const CaptionSegmentEvent& ev) {
           if (ev.kind == CaptionSegmentEvent::Kind::final) r.stopFrom(e);
         };
       },
       // A final in the session's first buffer.
       [](FakeSpeechService& service, FakeProducer& p) {
         if (auto analyzer = service.lastAnalyzer())
           analyzer->push(finalResult("first words", 0.0));
         p.push(constantBuffer({SampleType::int16, 16000.0, 1, true}, 160, 0.0));
       },
       2},
  };
}

// A recognizer that gives one more final when the stop drains it.
inline std::shared_ptr<FakeSpeechService> drainingService() {
  auto service = std::make_shared<FakeSpeechService>();
  FakeAnalyzerScript script;
  script.atFinish = {finalResult("drained at the stop", 5.0)};
  service->setAnalyzerScript(script);
  return service;
}

inline CaptionEngineStartArgs startArgs() {
  return {"s1", "en-US", CaptionAudioSource::systemDefault(), true, {}, false, false};
}

// One engine on the fake recognizer and platform, observed as one case says.
struct Session {
  explicit Session(const Case& c) : c(c), engine(platform, service) {
    CaptionEngineObservers observers;
    c.observe(engine, reentry, observers);
    engine.setObservers(observers);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Starts a session and brings the case's event about. Returns the message of a start that the
  // stop from the callback ended, if it did.
  std::optional<std::string> startAndProvoke() {
    std::optional<std::string> startError;
    try {
      engine.start(startArgs());
    } catch (const CaptionEngineError& e) {
      startError = e.message();
    }
    if (c.provoke) c.provoke(*service, *platform->lastProducer());
    return startError;
  }

  const Case& c;
  std::shared_ptr<FakeSpeechService> service = drainingService();
  std::shared_ptr<FakePlatform> platform = std::make_shared<FakePlatform>();
  AppleCaptionEngine engine;
  Reentry reentry;
};

}  // namespace quorvel::testing::reentry
