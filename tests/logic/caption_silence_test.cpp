// The silence watchdog's 45-second rule and the level tracker's freshness rule.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "caption_engine/logic/caption_level_tracker.h"
#include "caption_engine/logic/caption_silence_watchdog.h"

namespace quorvel {
namespace {

using T = CaptionSilenceWatchdog::Transition;

TEST(CaptionSilenceWatchdogTest, SilenceFromStartMovesToNoAudioOnceAfter45Seconds) {
  CaptionSilenceWatchdog w(1000);
  EXPECT_EQ(w.silentSinceMs(), 1000);
  EXPECT_EQ(w.note(-60, 45999), T::none);
  EXPECT_EQ(w.note(-60, 46000), T::toNoAudio);
  EXPECT_TRUE(w.inNoAudio());
  EXPECT_EQ(w.note(-60, 50000), T::none);
  EXPECT_EQ(w.note(-120, 500000), T::none);
  EXPECT_TRUE(w.inNoAudio());
}

TEST(CaptionSilenceWatchdogTest, ThresholdIsStrict) {
  struct Case {
    double db;
    bool speech;
  };
  const Case cases[] = {{-50.0, false},
                        {-49.99, true},
                        {-50.0000001, false},
                        {0.0, true},
                        {-120.0, false},
                        {std::nan(""), false},
                        {std::numeric_limits<double>::infinity(), true},
                        {-std::numeric_limits<double>::infinity(), false}};
  for (const Case& c : cases) {
    CaptionSilenceWatchdog w(0);
    w.note(c.db, 10);
    EXPECT_EQ(w.lastSpeechAtMs().has_value(), c.speech) << c.db;
    EXPECT_EQ(w.silentSinceMs().has_value(), !c.speech) << c.db;
  }
}

TEST(CaptionSilenceWatchdogTest, SpeechEndsNoAudioAndRestartsTheCount) {
  CaptionSilenceWatchdog w(0);
  ASSERT_EQ(w.note(-60, 45000), T::toNoAudio);
  EXPECT_EQ(w.note(-49, 46000), T::toRunning);
  EXPECT_FALSE(w.inNoAudio());
  EXPECT_EQ(w.lastSpeechAtMs(), 46000);
  EXPECT_EQ(w.silentSinceMs(), std::nullopt);
  EXPECT_EQ(w.note(-30, 46100), T::none);  // speech while listening reports nothing
  // The next silent reading starts a new stretch.
  EXPECT_EQ(w.note(-60, 47000), T::none);
  EXPECT_EQ(w.silentSinceMs(), 47000);
  EXPECT_EQ(w.note(-60, 91999), T::none);
  EXPECT_EQ(w.note(-60, 92000), T::toNoAudio);
}

TEST(CaptionSilenceWatchdogTest, BackwardsClockAndExtremesNeverTrip) {
  CaptionSilenceWatchdog w(100000);
  EXPECT_EQ(w.note(-60, 0), T::none);
  CaptionSilenceWatchdog far(std::numeric_limits<int64_t>::min());
  EXPECT_EQ(far.note(-60, std::numeric_limits<int64_t>::max()), T::toNoAudio);
  CaptionSilenceWatchdog future(std::numeric_limits<int64_t>::max());
  EXPECT_EQ(future.note(-60, std::numeric_limits<int64_t>::min()), T::none);
}

TEST(CaptionSilenceWatchdogTest, EqualityCoversAllFields) {
  CaptionSilenceWatchdog a(0), b(0);
  EXPECT_EQ(a, b);
  b.note(-10, 5);
  EXPECT_NE(a, b);
}

TEST(CaptionLevelTrackerTest, LevelsGoStaleAfterThreeSeconds) {
  CaptionLevelTracker t;
  EXPECT_EQ(t.reported(0), std::nullopt);
  EXPECT_EQ(t.level(0), -120.0);
  t.note(-30, 10000);
  EXPECT_EQ(t.level(13000), -30.0);
  EXPECT_EQ(t.reported(13000), -30.0);
  EXPECT_EQ(t.level(13001), -120.0);
  EXPECT_EQ(t.reported(13001), -120.0);
  EXPECT_EQ(t.level(9000), -30.0);  // a clock behind the reading still counts it as fresh
  t.note(-30, std::numeric_limits<int64_t>::min());
  EXPECT_EQ(t.level(std::numeric_limits<int64_t>::max()), -120.0);
}

TEST(CaptionLevelTrackerTest, CanJudgeSilenceUnlessBuffersWereFedButNoneMeasured) {
  CaptionLevelTracker t;
  EXPECT_TRUE(t.canJudgeSilence(0));
  EXPECT_FALSE(t.canJudgeSilence(5));
  t.note(-80, 0);
  EXPECT_TRUE(t.canJudgeSilence(5));
  EXPECT_NE(t, CaptionLevelTracker{});
}

}  // namespace
}  // namespace quorvel
