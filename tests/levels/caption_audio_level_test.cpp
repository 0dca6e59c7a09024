// Buffer levels from generated signals with known answers, for every sample format and layout.
#include "caption_engine/levels/caption_audio_level.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

namespace quorvel {
namespace {

const double kHalfScaleDb = 20.0 * std::log10(0.5);  // about -6.02 dBFS

// A buffer whose channel c, frame k holds sample(c, k), in the given layout.
template <class T>
PcmBuffer makeBuffer(SampleType type, uint32_t channels, bool interleaved, uint32_t frames,
                     const std::function<T(uint32_t, uint32_t)>& sample) {
  PcmBuffer b(AudioFormat{type, 16000.0, channels, interleaved}, frames);
  b.setFrameLength(frames);
  for (uint32_t c = 0; c < channels; ++c) {
    T* data = b.channelData<T>(c);
    for (uint32_t k = 0; k < frames; ++k) data[size_t{k} * b.stride()] = sample(c, k);
  }
  return b;
}

PcmBuffer floatMono(uint32_t frames, const std::function<float(uint32_t)>& f) {
  return makeBuffer<float>(SampleType::float32, 1, false, frames,
                           [&](uint32_t, uint32_t k) { return f(k); });
}

float square(uint32_t k, float amplitude) { return (k % 2 == 0) ? amplitude : -amplitude; }

TEST(CaptionAudioLevelTest, RmsDbOfKnownSignals) {
  struct Case {
    const char* name;
    PcmBuffer buffer;
    std::optional<double> want;
  };
  const Case cases[] = {
      {"full-scale float square", floatMono(1024, [](uint32_t k) { return square(k, 1.0f); }), 0.0},
      {"half-scale float square", floatMono(1024, [](uint32_t k) { return square(k, 0.5f); }),
       kHalfScaleDb},
      {"digital silence", floatMono(1024, [](uint32_t) { return 0.0f; }), -120.0},
      {"quieter than the floor", floatMono(1024, [](uint32_t) { return 1e-7f; }), -120.0},
      {"int16 constant 16384",
       makeBuffer<int16_t>(SampleType::int16, 1, true, 480,
                           [](uint32_t, uint32_t) { return int16_t{16384}; }),
       kHalfScaleDb},
      {"int16 full-scale negative",
       makeBuffer<int16_t>(SampleType::int16, 1, true, 480,
                           [](uint32_t, uint32_t) { return int16_t{-32768}; }),
       0.0},
      {"int32 constant 2^30",
       makeBuffer<int32_t>(SampleType::int32, 1, true, 480,
                           [](uint32_t, uint32_t) { return int32_t{1073741824}; }),
       kHalfScaleDb},
      {"interleaved stereo, silent left",
       makeBuffer<float>(SampleType::float32, 2, true, 1024,
                         [](uint32_t c, uint32_t k) { return c == 0 ? 0.0f : square(k, 1.0f); }),
       -120.0},
      {"interleaved int16 stereo, loud left",
       makeBuffer<int16_t>(SampleType::int16, 2, true, 300,
                           [](uint32_t c, uint32_t) { return int16_t(c == 0 ? 16384 : 0); }),
       kHalfScaleDb},
      {"planar stereo, silent left",
       makeBuffer<float>(SampleType::float32, 2, false, 1024,
                         [](uint32_t c, uint32_t k) { return c == 0 ? 0.0f : square(k, 1.0f); }),
       -120.0},
      {"float64 is unmeasurable",
       makeBuffer<double>(SampleType::float64, 1, false, 1024,
                          [](uint32_t, uint32_t) { return 1.0; }),
       std::nullopt},
      {"empty buffer", floatMono(0, [](uint32_t) { return 1.0f; }), std::nullopt},
      // Regression: an infinite float sample must not read as +inf dBFS.
      {"infinite samples",
       floatMono(64, [](uint32_t) { return std::numeric_limits<float>::infinity(); }), -120.0},
      {"NaN samples", floatMono(64, [](uint32_t) { return std::nanf(""); }), -120.0},
  };
  for (const Case& c : cases) {
    std::optional<double> got = CaptionAudioLevel::rmsDb(c.buffer);
    ASSERT_EQ(got.has_value(), c.want.has_value()) << c.name;
    if (got) {
      EXPECT_NEAR(*got, *c.want, 1e-9) << c.name;
    }
  }
}

// Thinning: 1000 frames give step 3 (frames 0, 3, …, 999); 200 frames are read in full.
TEST(CaptionAudioLevelTest, RmsDbThinsLongBuffersToEveryStepthFrame) {
  // Loud exactly on the frames that are read: the level is full scale.
  EXPECT_NEAR(*CaptionAudioLevel::rmsDb(
                  floatMono(1000, [](uint32_t k) { return k % 3 == 0 ? 1.0f : 0.0f; })),
              0.0, 1e-9);
  // Loud only between them: silence.
  EXPECT_EQ(*CaptionAudioLevel::rmsDb(
                floatMono(1000, [](uint32_t k) { return k % 3 == 0 ? 0.0f : 1.0f; })),
            -120.0);
  // 200 frames, every other one loud: mean square 1/2, so 10 x log10(0.5).
  EXPECT_NEAR(
      *CaptionAudioLevel::rmsDb(floatMono(200, [](uint32_t k) { return k % 2 ? 1.0f : 0.0f; })),
      10.0 * std::log10(0.5), 1e-9);
  // 511 frames: step 1, all read. 512 frames: step 2.
  EXPECT_EQ(
      *CaptionAudioLevel::rmsDb(floatMono(512, [](uint32_t k) { return k % 2 ? 1.0f : 0.0f; })),
      -120.0);
  EXPECT_NEAR(
      *CaptionAudioLevel::rmsDb(floatMono(511, [](uint32_t k) { return k % 2 ? 1.0f : 0.0f; })),
      10.0 * std::log10(255.0 / 511.0), 1e-9);
}

TEST(CaptionAudioLevelTest, OnlyTheFrameLengthIsRead) {
  PcmBuffer b = floatMono(1024, [](uint32_t k) { return k < 100 ? 0.5f : 1.0f; });
  b.setFrameLength(100);
  EXPECT_NEAR(*CaptionAudioLevel::rmsDb(b), kHalfScaleDb, 1e-9);
}

TEST(CaptionAudioLevelTest, ReadingsVisitEveryFirstChannelFrame) {
  CaptionLevelWindows windows(16000, 24, false);  // 667 frames per reading
  PcmBuffer stereo = makeBuffer<int16_t>(
      SampleType::int16, 2, true, 1334,
      [](uint32_t c, uint32_t k) { return int16_t(c == 0 ? (k % 2 ? -16384 : 16384) : 32767); });
  auto readings = CaptionAudioLevel::readings(stereo, windows);
  ASSERT_EQ(readings.size(), 2u);
  for (const auto& r : readings) {
    EXPECT_NEAR(r.levelDb, kHalfScaleDb, 1e-9);
    EXPECT_TRUE(r.bandsDb.empty());
  }

  // A partial window carries over into the next buffer.
  PcmBuffer part = floatMono(666, [](uint32_t) { return 1.0f; });
  EXPECT_TRUE(CaptionAudioLevel::readings(part, windows).empty());
  PcmBuffer one = floatMono(1, [](uint32_t) { return 1.0f; });
  ASSERT_EQ(CaptionAudioLevel::readings(one, windows).size(), 1u);
}

TEST(CaptionAudioLevelTest, UnmeasurableBuffersYieldNoReadingsAndLeaveWindowsUntouched) {
  CaptionLevelWindows windows(16000, 24, true);
  PcmBuffer doubles = makeBuffer<double>(SampleType::float64, 1, false, 5000,
                                         [](uint32_t, uint32_t) { return 1.0; });
  EXPECT_TRUE(CaptionAudioLevel::readings(doubles, windows).empty());
  // Had the 5000 frames been counted, a reading would complete before frame 667 of this buffer.
  auto readings =
      CaptionAudioLevel::readings(floatMono(667, [](uint32_t) { return 0.0f; }), windows);
  ASSERT_EQ(readings.size(), 1u);
  EXPECT_EQ(readings[0].levelDb, -120.0);
  EXPECT_EQ(readings[0].bandsDb, std::vector<double>(13, -120.0));  // the ring was never filled
}

}  // namespace
}  // namespace quorvel
