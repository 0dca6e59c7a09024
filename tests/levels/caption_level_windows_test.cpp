// Reading windows: their length per sample rate, their level figures, and when bands are present.
#include "caption_engine/levels/caption_level_windows.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace quorvel {
namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(CaptionLevelWindowsTest, FramesPerWindow) {
  struct Case {
    double rate;
    int64_t perSecond;
    int64_t want;
  };
  const Case cases[] = {
      {16000, 24, 667},  {44100, 24, 1838},  {48000, 24, 2000}, {8000, 24, 333},
      {0, 24, 667},  // not a usable rate: works at 16000
      {-44100, 24, 667}, {kNaN, 24, 667},    {kInf, 24, 667},   {16000, 1, 16000},
      {16000, 0, 16000}, {16000, -5, 16000}, {36, 24, 2},  // 1.5 rounds half away from zero
      {12, 24, 1},                                         // 0.5 rounds to 1
      {3, 24, 1},                                          // 0.125 rounds to 0, raised to 1
  };
  for (const Case& c : cases) {
    CaptionLevelWindows w(c.rate, c.perSecond, false);
    EXPECT_EQ(w.framesPerWindow(), c.want) << c.rate << "/" << c.perSecond;
    if (!std::isnan(c.rate)) {
      EXPECT_EQ(w.sampleRate(), c.rate);
    }  // stored exactly as given
  }
}

TEST(CaptionLevelWindowsTest, DbOfMeanSquare) {
  struct Case {
    double meanSquare;
    double want;
  };
  const Case cases[] = {
      {1.0, 0.0},       {0.25, 10.0 * std::log10(0.25)},
      {1e-3, -30.0},    {4.0, 10.0 * std::log10(4.0)},
      {1e-12, -120.0},  {1e-13, -120.0},
      {5e-324, -120.0},  // subnormal: finite, floored
      {0.0, -120.0},    {-1.0, -120.0},
      {kInf, -120.0},   {kNaN, -120.0},
  };
  for (const Case& c : cases)
    EXPECT_NEAR(CaptionLevelWindows::db(c.meanSquare), c.want, 1e-9) << c.meanSquare;
}

TEST(CaptionLevelWindowsTest, ReadingsCompleteOnTheWindowsLastSample) {
  CaptionLevelWindows w(16000, 24, false);
  std::vector<double> square(1334);
  for (size_t i = 0; i < square.size(); ++i) square[i] = i % 2 ? -1.0 : 1.0;
  for (size_t i = 0; i < 666; ++i) ASSERT_FALSE(w.add(square[i])) << i;
  auto first = w.add(square[666]);  // the 667th sample
  ASSERT_TRUE(first);
  EXPECT_DOUBLE_EQ(first->levelDb, 0.0);
  EXPECT_TRUE(first->bandsDb.empty());
  auto rest = w.add(std::span<const double>(square).subspan(667));
  ASSERT_EQ(rest.size(), 1u);  // the 1334th sample completes the second
}

TEST(CaptionLevelWindowsTest, LevelCoversOnlyTheWindowJustCompleted) {
  CaptionLevelWindows w(48000, 24, false);  // 2000 frames
  std::vector<double> loud(2000, 1.0), half(2000, 0.5), silent(2000, 0.0);
  EXPECT_DOUBLE_EQ(w.add(loud).at(0).levelDb, 0.0);
  EXPECT_NEAR(w.add(half).at(0).levelDb, 20.0 * std::log10(0.5), 1e-12);
  EXPECT_EQ(w.add(silent).at(0).levelDb, -120.0);
}

TEST(CaptionLevelWindowsTest, NonFiniteSamplesCountAsZero) {
  CaptionLevelWindows w(16000, 24, true);
  std::vector<double> samples(667);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = i % 2 ? kInf : (i % 3 ? -kInf : kNaN);
  auto r = w.add(samples);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].levelDb, -120.0);
  EXPECT_EQ(r[0].bandsDb, std::vector<double>(13, -120.0));

  // Half of the window infinite, half full scale: mean square 1/2.
  std::vector<double> mixed(667);
  for (size_t i = 0; i < mixed.size(); ++i) mixed[i] = i < 333 ? kInf : 1.0;
  EXPECT_NEAR(w.add(mixed).at(0).levelDb, 10.0 * std::log10(334.0 / 667.0), 1e-12);
}

TEST(CaptionLevelWindowsTest, BandsPresentOnlyWhenAnalysisIsOn) {
  std::vector<double> noise(2000);
  uint32_t state = 12345;
  for (double& s : noise) {
    state = state * 1664525u + 1013904223u;
    s = (static_cast<double>(state >> 8) / 16777216.0) * 2.0 - 1.0;
  }
  CaptionLevelWindows off(48000, 24, false), on(48000, 24, true);
  auto a = off.add(noise), b = on.add(noise);
  ASSERT_EQ(a.size(), 1u);
  ASSERT_EQ(b.size(), 1u);
  EXPECT_TRUE(a[0].bandsDb.empty());
  ASSERT_EQ(b[0].bandsDb.size(), 13u);
  EXPECT_EQ(a[0].levelDb, b[0].levelDb);
  for (double band : b[0].bandsDb) EXPECT_GT(band, -60.0);
}

// The bands cover the latest 1024 samples, oldest first, wherever the ring's head stands.
TEST(CaptionLevelWindowsTest, BandsUseTheLatestSamplesInOrder) {
  std::vector<double> tone(5000);
  for (size_t i = 0; i < tone.size(); ++i)
    tone[i] = std::sin(2.0 * M_PI * 1000.0 * static_cast<double>(i) / 16000.0);
  CaptionLevelWindows w(16000, 24, true);
  auto readings = w.add(tone);
  ASSERT_EQ(readings.size(), 7u);  // 5000 / 667
  CaptionBandAnalyzer analyzer(16000, 1024);
  // The 7th reading completes at sample 4669; its bands are those of samples 3645…4668.
  std::vector<float> latest(tone.begin() + 3645, tone.begin() + 4669);
  EXPECT_EQ(readings[6].bandsDb, analyzer.bandsDb(latest));
  // The first reading's ring still holds 357 initial zeros before the 667 samples.
  std::vector<float> first(1024, 0.0f);
  std::copy(tone.begin(), tone.begin() + 667, first.begin() + 357);
  EXPECT_EQ(readings[0].bandsDb, analyzer.bandsDb(first));
}

// A rate of 0 works at 16000 Hz, bins included.
TEST(CaptionLevelWindowsTest, ZeroRateBehavesAs16000) {
  std::vector<double> tone(2001);
  for (size_t i = 0; i < tone.size(); ++i) tone[i] = 0.3 * std::sin(0.37 * static_cast<double>(i));
  CaptionLevelWindows zero(0, 24, true), sixteen(16000, 24, true);
  EXPECT_EQ(zero.add(tone), sixteen.add(tone));
}

TEST(CaptionLevelWindowsTest, CopiesAreIndependentAccumulators) {
  CaptionLevelWindows a(16000, 24, true);
  std::vector<double> half(600, 1.0);
  EXPECT_TRUE(a.add(half).empty());
  CaptionLevelWindows b = a;
  std::vector<double> more(67, 1.0);
  EXPECT_EQ(a.add(more).size(), 1u);
  EXPECT_EQ(b.add(more).size(), 1u);
}

}  // namespace
}  // namespace quorvel
