// The watchdog timer: level events, the 45 s silence rule and its way back, the unreadable-level
// notice, path events, and the queue's "stop means stopped" guarantee.
#include <algorithm>
#include <atomic>
#include <thread>

#include "tests/runtime/runtime_test_support.h"

namespace quorvel::testing {
namespace {

TEST_F(RuntimeTest, TicksPublishTheLevelWhileFreshAndTheFloorOnceStale) {
  startRunning(request("s1"));
  ASSERT_TRUE(tick());
  EXPECT_TRUE(rec->matching("level ").empty()) << "no level event before any measurement";

  feed(constantBuffer(kMono16kFloat, 1600, 0.5));
  advance(1000);
  ASSERT_TRUE(tick());
  advance(2500);
  ASSERT_TRUE(tick());
  EXPECT_EQ(rec->matching("level "),
            (std::vector<std::string>{"level s1 -6.02", "level s1 -120.00"}));
}

TEST_F(RuntimeTest, FortyFiveSecondsWithoutSpeechMoveToNoAudioAndSpeechMovesBack) {
  startRunning(request("s1"));
  advance(44999);
  ASSERT_TRUE(tick());
  EXPECT_TRUE(rec->matching("state no_audio").empty());
  advance(1);
  ASSERT_TRUE(tick());
  ASSERT_TRUE(tick());  // reported once
  EXPECT_EQ(rec->matching("state no_audio"),
            (std::vector<std::string>{
                "state no_audio s1 reason=no speech above -50 dBFS for 45s level=-120.00"}));
  EXPECT_EQ(runtime->status().state, CaptionState::noAudio);

  feed(constantBuffer(kMono16kFloat, 1600, 0.5));
  ASSERT_TRUE(tick());
  EXPECT_EQ(rec->matching("state running").back(),
            "state running s1 reason=speech resumed level=-6.02");
  EXPECT_EQ(runtime->status().state, CaptionState::running);
  EXPECT_EQ(runtime->status().lastSpeechAtMs, kT0 + 45000);
}

TEST_F(RuntimeTest, AnUnreadableAnalyzerFormatStandsTheWatchdogDownWithOneNotice) {
  FakeAnalyzerScript script;
  script.format = AudioFormat{SampleType::float64, 16000.0, 1, false};
  service->setAnalyzerScript(script);
  startRunning(request("s1"));
  feed(constantBuffer(kMono16kFloat, 1600, 0.5));
  EXPECT_EQ(runtime->buffersFed(), 1);
  for (int i = 0; i < 3; ++i) {
    advance(30000);
    ASSERT_TRUE(tick());
  }
  EXPECT_EQ(rec->matching("log [captions] input level is unreadable"),
            (std::vector<std::string>{
                "log [captions] input level is unreadable in this analyzer format \u2014 the "
                "silence watchdog is standing down for this session"}));
  EXPECT_TRUE(rec->matching("level ").empty());
  EXPECT_TRUE(rec->matching("state no_audio").empty());
}

TEST_F(RuntimeTest, AHoldSuspendsTheSilenceRuleAndAResumeRestartsIt) {
  startRunning(request("s1"));
  ASSERT_TRUE(path(CaptionAudioPathEvent::held("interrupted")));
  EXPECT_EQ(rec->matching("state no_audio").back(), "state no_audio s1 reason=interrupted level=-");
  advance(100000);
  ASSERT_TRUE(tick());
  EXPECT_EQ(rec->matching("state no_audio").size(), 1u) << "no silence move during a hold";

  ASSERT_TRUE(path(CaptionAudioPathEvent::resumed()));
  EXPECT_EQ(rec->matching("state running").back(), "state running s1 reason=audio_resumed level=-");
  advance(44999);
  ASSERT_TRUE(tick());
  EXPECT_EQ(rec->matching("state no_audio").size(), 1u) << "the count restarts at the resume";
  advance(1);
  ASSERT_TRUE(tick());
  EXPECT_EQ(rec->matching("state no_audio").size(), 2u);

  // An event of an earlier session changes nothing.
  const size_t before = rec->lines().size();
  runtime->notePath(CaptionAudioPathEvent::fellBack("usb"), "s0");
  settle();
  EXPECT_EQ(rec->lines().size(), before);
  runtime->notePath(CaptionAudioPathEvent::fellBack("usb"), "s1");
  settle();
  EXPECT_EQ(rec->lines().back(), "state no_audio s1 reason=input_fallback level=-");
}

// An input lost while the session is still starting is reported once it runs, not dropped.
TEST_F(RuntimeTest, APathEventWhileStartingIsAppliedOnceTheSessionRuns) {
  auto gate = std::make_shared<Gate>();
  FakeAnalyzerScript script;
  script.startGate = gate;
  service->setAnalyzerScript(script);
  Await<StartOutcome> started;
  runtime->start(request("s1"), started.callback(rec, "start s1"));
  ASSERT_TRUE(gate->awaitArrival());
  runtime->notePath(CaptionAudioPathEvent::held("input_lost"), "s1");
  gate->open();
  ASSERT_TRUE(started.get()->isOk());
  ASSERT_TRUE(rec->awaitLine("state no_audio s1 reason=input_lost level=-"));
  EXPECT_LT(rec->indexOf("state running s1 reason=- level=-"),
            rec->indexOf("state no_audio s1 reason=input_lost level=-"));
  EXPECT_EQ(runtime->status().state, CaptionState::noAudio);
}

TEST_F(RuntimeTest, AfterAStreamErrorTicksAndPathEventsChangeNothing) {
  startRunning(request("s1"));
  service->lastAnalyzer()->failNext("boom");
  ASSERT_TRUE(producer()->push(constantBuffer(kMono16kFloat, 1600, 0.5)));
  ASSERT_TRUE(
      rec->awaitLine("state error s1 reason=transcriber results stream failed: boom level=-"));
  const size_t before = rec->lines().size();
  advance(60000);
  ASSERT_TRUE(tick());
  ASSERT_TRUE(path(CaptionAudioPathEvent::held("interrupted")));
  EXPECT_EQ(rec->lines().size(), before);
  EXPECT_EQ(runtime->status().state, CaptionState::error);
}

// Stop means stopped: once the stop has completed, the session's timer never fires again.
TEST_F(RuntimeTest, TheTimerIsArmedOnlyWhileTheSessionRuns) {
  EXPECT_FALSE(runtime->fireWatchdogTimer());
  startRunning(request("s1"));
  EXPECT_TRUE(tick());
  ASSERT_TRUE(stop("s1").isOk());
  EXPECT_FALSE(runtime->fireWatchdogTimer());
}

TEST(CaptionWatchdogQueue, FiresRepeatedlyOnItsOwnThreadUntilCancelled) {
  CaptionWatchdogQueue queue;
  std::mutex m;
  std::condition_variable cv;
  int ticks = 0;
  std::thread::id tickThread;
  auto timer = queue.makeTimer(std::chrono::milliseconds(5), [&] {
    std::lock_guard lock(m);
    ++ticks;
    tickThread = std::this_thread::get_id();
    cv.notify_all();
  });
  timer->start();
  {
    std::unique_lock lock(m);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return ticks >= 3; }));
    EXPECT_NE(tickThread, std::this_thread::get_id());
  }
  timer->cancel();
  EXPECT_FALSE(timer->fire());
}

// A cancel that races a running tick returns only after that tick has finished.
TEST(CaptionWatchdogQueue, CancelWaitsForARunningTick) {
  CaptionWatchdogQueue queue;
  Gate inTick, release;
  std::atomic<bool> tickFinished{false};
  std::atomic<int> ticks{0};
  auto timer = queue.makeTimer(std::chrono::milliseconds(1), [&] {
    if (ticks++ == 0) {
      inTick.open();
      release.wait();
      tickFinished = true;
    }
  });
  timer->start();
  ASSERT_TRUE(inTick.wait());
  std::thread canceller([&] {
    timer->cancel();
    EXPECT_TRUE(tickFinished.load()) << "cancel returned while a tick was still running";
  });
  release.open();
  canceller.join();
  const int after = ticks.load();
  EXPECT_FALSE(timer->fire());
  EXPECT_EQ(ticks.load(), after);
}

// Ticks missed while the queue was held up are merged into one, not fired as a burst (a 2 s stall
// used to be followed by ten level events in the same millisecond).
TEST(CaptionWatchdogQueue, TicksMissedDuringAStallAreMergedIntoOne) {
  using Clock = std::chrono::steady_clock;
  constexpr auto period = std::chrono::milliseconds(20);
  CaptionWatchdogQueue queue;
  std::mutex m;
  std::condition_variable cv;
  std::vector<Clock::time_point> ticks;
  Clock::time_point stallEnded;
  auto timer = queue.makeTimer(period, [&] {
    std::unique_lock lock(m);
    if (ticks.empty()) {
      lock.unlock();
      std::this_thread::sleep_for(period * 15);  // the stall: fifteen periods in one tick
      lock.lock();
      stallEnded = Clock::now();
    }
    ticks.push_back(Clock::now());
    cv.notify_all();
  });
  timer->start();
  {
    std::unique_lock lock(m);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return ticks.size() >= 4; }));
  }
  timer->cancel();
  std::lock_guard lock(m);
  const auto burst = std::count_if(ticks.begin() + 1, ticks.end(),
                                   [&](Clock::time_point t) { return t - stallEnded < period; });
  EXPECT_LE(burst, 1) << "ticks fired back to back after the stall";
}

TEST(CaptionWatchdogQueue, RealTimerDeliversLevelsFiveTimesASecondUntilTheStop) {
  auto rec = std::make_shared<Recorder>();
  auto service = std::make_shared<FakeSpeechService>();
  auto platform = std::make_shared<FakePlatform>();
  auto runtime = CaptionRuntimeImpl::create(Recorder::events(rec), platform, service, {});
  CaptionsStartRequest r;
  r.sessionId = "s1";
  r.locale = "en-US";
  Await<StartOutcome> started;
  runtime->start(r, started.callback());
  ASSERT_TRUE(started.get()->isOk());
  ASSERT_TRUE(platform->lastProducer()->push(constantBuffer(kMono16kFloat, 1600, 0.5)));
  ASSERT_TRUE(rec->awaitCount("level s1 -6.02", 2));
  Await<StopOutcome> stopped;
  runtime->stop("s1", stopped.callback());
  ASSERT_TRUE(stopped.get()->isOk());
}

}  // namespace
}  // namespace quorvel::testing
