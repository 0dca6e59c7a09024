// Shared fixture of the runtime tests: an event recorder that keeps every event as one text line
// in order, a settable clock, bounded waits for completions, and a runtime on fakes.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "caption_engine/runtime/caption_runtime_impl.h"
#include "tests/runtime/fake_speech_service.h"

namespace quorvel::testing {

inline std::string fmt2(double v) {
  char b[32];
  std::snprintf(b, sizeof b, "%.2f", v);
  return b;
}

class Recorder {
 public:
  void add(std::string line) {
    std::lock_guard lock(m_);
    lines_.push_back(std::move(line));
    cv_.notify_all();
  }
  std::vector<std::string> lines() const {
    std::lock_guard lock(m_);
    return lines_;
  }
  // Lines starting with prefix, in order.
  std::vector<std::string> matching(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& l : lines()) {
      if (l.rfind(prefix, 0) == 0) out.push_back(l);
    }
    return out;
  }
  bool has(const std::string& line) const {
    for (const auto& l : lines()) {
      if (l == line) return true;
    }
    return false;
  }
  // Position of the first line equal to `line`, or -1.
  int indexOf(const std::string& line) const {
    auto all = lines();
    for (size_t i = 0; i < all.size(); ++i) {
      if (all[i] == line) return static_cast<int>(i);
    }
    return -1;
  }
  // Waits (bounded) until the line has been recorded.
  bool awaitLine(const std::string& line,
                 std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock lock(m_);
    return cv_.wait_for(lock, limit, [&] {
      for (const auto& l : lines_) {
        if (l == line) return true;
      }
      return false;
    });
  }
  bool awaitCount(const std::string& prefix, size_t n) {
    std::unique_lock lock(m_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [&] {
      size_t c = 0;
      for (const auto& l : lines_) c += l.rfind(prefix, 0) == 0;
      return c >= n;
    });
  }
  size_t uiLevels() const { return uiLevels_.load(); }

  static CaptionRuntimeEvents events(const std::shared_ptr<Recorder>& r) {
    CaptionRuntimeEvents e;
    e.state = [r](CaptionState s, const std::optional<std::string>& sid,
                  const std::optional<std::string>& reason, std::optional<double> level) {
      r->add("state " + std::string(rawValue(s)) + " " + sid.value_or("-") +
             " reason=" + reason.value_or("-") + " level=" + (level ? fmt2(*level) : "-"));
    };
    e.level = [r](const std::string& sid, double db) { r->add("level " + sid + " " + fmt2(db)); };
    e.assetProgress = [r](const std::string& locale, double fraction, bool done,
                          const std::optional<std::string>& error) {
      r->add("progress " + locale + " " + fmt2(fraction) + (done ? " done" : " running") +
             " error=" + error.value_or("-"));
    };
    e.segment = [r](const std::string& sid, const CaptionEmission& em, const std::string& locale) {
      std::string words;
      for (const CaptionWord& w : em.words) {
        words += (words.empty() ? " words=" : ",") + w.text + "@" + std::to_string(w.tStartMs) +
                 "-" + std::to_string(w.tEndMs);
      }
      r->add("segment " + sid + " #" + std::to_string(em.seq) + " " + em.kind + " " +
             std::to_string(em.tStartMs) + "-" + std::to_string(em.tEndMs) + " [" + em.text + "] " +
             locale + words);
    };
    e.log = [r](const std::string& m) { r->add("log " + m); };
    e.uiLevel = [r](const std::string&, const CaptionLevelReading&) { r->uiLevels_++; };
    return e;
  }

 private:
  mutable std::mutex m_;
  std::condition_variable cv_;
  std::vector<std::string> lines_;
  std::atomic<size_t> uiLevels_{0};
};

// One completion, awaited with a bound.
template <class T>
class Await {
 public:
  std::function<void(T)> callback(std::shared_ptr<Recorder> rec = nullptr, std::string label = {}) {
    return [p = promise_, rec, label](T v) {
      if (rec) rec->add("completion " + label);
      p->set_value(std::move(v));
    };
  }
  std::optional<T> get(std::chrono::seconds limit = std::chrono::seconds(15)) {
    if (future_.wait_for(limit) != std::future_status::ready) return std::nullopt;
    return future_.get();
  }
  bool ready() const {
    return future_.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
  }

 private:
  std::shared_ptr<std::promise<T>> promise_ = std::make_shared<std::promise<T>>();
  std::shared_future<T> future_ = promise_->get_future().share();
};

using StartOutcome = CaptionRuntimeOutcome<CaptionRuntimeStartResult>;
using StopOutcome = CaptionRuntimeOutcome<CaptionRuntimeStopResult>;
using VoidOutcome = CaptionRuntimeOutcome<CaptionRuntimeVoid>;

inline constexpr int64_t kT0 = 1'700'000'000'000;

inline const AudioFormat kAnalyzerFormat{SampleType::int16, 16000.0, 1, true};
inline const AudioFormat kMono16kFloat{SampleType::float32, 16000.0, 1, false};
inline const AudioFormat kStereo48kFloat{SampleType::float32, 48000.0, 2, false};

class RuntimeTest : public ::testing::Test {
 protected:
  std::shared_ptr<Recorder> rec = std::make_shared<Recorder>();
  std::shared_ptr<FakeSpeechService> service = std::make_shared<FakeSpeechService>();
  std::shared_ptr<FakePlatform> platform = std::make_shared<FakePlatform>();
  std::shared_ptr<std::atomic<int64_t>> clock = std::make_shared<std::atomic<int64_t>>(kT0);
  std::shared_ptr<CaptionRuntimeImpl> runtime;

  void SetUp() override { runtime = make(); }

  std::shared_ptr<CaptionRuntimeImpl> make(
      bool manualWatchdog = true,
      std::chrono::milliseconds drainLimit = std::chrono::milliseconds(10000)) {
    CaptionRuntimeImpl::Options o;
    o.clock = [c = clock] { return c->load(); };
    o.manualWatchdog = manualWatchdog;
    o.resultsDrainLimit = drainLimit;
    return CaptionRuntimeImpl::create(Recorder::events(rec), platform, service, o);
  }

  void advance(int64_t ms) { clock->fetch_add(ms); }

  static CaptionsStartRequest request(std::string sid = "s1") {
    CaptionsStartRequest r;
    r.sessionId = std::move(sid);
    r.locale = "en-US";
    r.source = CaptionAudioSource::systemDefault();
    r.fast = true;
    return r;
  }

  StartOutcome start(const CaptionsStartRequest& r) {
    Await<StartOutcome> done;
    runtime->start(r, done.callback(rec, "start " + r.sessionId));
    auto outcome = done.get();
    if (!outcome) throw std::runtime_error("start did not complete");
    return *outcome;
  }

  // Starts a session and waits for its running event.
  void startRunning(const CaptionsStartRequest& r) {
    StartOutcome o = start(r);
    ASSERT_TRUE(o.isOk()) << o.failure().message;
    ASSERT_TRUE(rec->awaitLine("state running " + r.sessionId + " reason=- level=-"));
  }

  StopOutcome stop(std::optional<std::string> sid) {
    Await<StopOutcome> done;
    runtime->stop(std::move(sid), done.callback(rec, "stop"));
    auto outcome = done.get();
    if (!outcome) throw std::runtime_error("stop did not complete");
    return *outcome;
  }

  VoidOutcome setContext(std::string sid, std::vector<std::string> terms) {
    Await<VoidOutcome> done;
    runtime->setContext(std::move(sid), std::move(terms), done.callback());
    auto outcome = done.get();
    if (!outcome) throw std::runtime_error("setContext did not complete");
    return *outcome;
  }

  std::shared_ptr<FakeProducer> producer() { return platform->lastProducer(); }

  // Waits until every event raised so far has reached the recorder.
  void settle() { ASSERT_TRUE(runtime->flushEvents()); }
  // One watchdog tick, its events delivered; whether a live timer was armed.
  bool tick() {
    const bool fired = runtime->fireWatchdogTimer();
    EXPECT_TRUE(runtime->flushEvents());
    return fired;
  }
  // A path event through the producer, its events delivered.
  bool path(const CaptionAudioPathEvent& event) {
    const bool delivered = producer()->path(event);
    EXPECT_TRUE(runtime->flushEvents());
    return delivered;
  }

  // Pushes a buffer through the producer and waits until the session thread has handed it to
  // the analyzer (measured and counted before that).
  void feed(const PcmBuffer& buffer) {
    auto analyzer = service->lastAnalyzer();
    const size_t before = analyzer->buffers().size();
    ASSERT_TRUE(producer()->push(buffer));
    ASSERT_TRUE(analyzer->awaitBuffers(before + 1));
  }

  // The analyzer recognizes these results in the next buffer, which this feeds (a short silent
  // one in the analyzer's format).
  void recognize(const std::vector<speech::SpeechResult>& results) {
    auto analyzer = service->lastAnalyzer();
    for (const auto& r : results) analyzer->push(r);
    feed(constantBuffer(kAnalyzerFormat, 160, 0.0));
  }
};

inline speech::SpeechResult result(std::string text, double start, double duration, bool final) {
  speech::SpeechResult r;
  r.text = std::move(text);
  r.rangeStartSeconds = start;
  r.rangeDurationSeconds = duration;
  r.isFinal = final;
  return r;
}

}  // namespace quorvel::testing
