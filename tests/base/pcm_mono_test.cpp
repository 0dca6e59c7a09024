// The mix-down a recognizer's audio goes through: every sample type, interleaved or planar,
// averages its channels to the same one-channel signal at 16 bits and as float.
#include "caption_engine/base/pcm_mono.h"

#include <gtest/gtest.h>

#include <cmath>

namespace quorvel {
namespace {

// Two channels of two frames: left full scale positive then silence, right half scale negative
// then silence; averaged, a quarter of full scale positive, then zero.
template <class T>
PcmBuffer stereo(SampleType type, bool interleaved, T full) {
  PcmBuffer buffer({type, 16000.0, 2, interleaved}, 2);
  buffer.setFrameLength(2);
  const uint32_t stride = buffer.stride();
  T* left = buffer.channelData<T>(0);
  T* right = buffer.channelData<T>(1);
  left[0] = full;
  right[0] = static_cast<T>(-full / 2);
  left[stride] = T{};
  right[stride] = T{};
  return buffer;
}

TEST(PcmMonoTest, EverySampleTypeAndLayoutAveragesToTheSameSignal) {
  const std::vector<PcmBuffer> buffers = {
      stereo<int16_t>(SampleType::int16, true, 32766),
      stereo<int16_t>(SampleType::int16, false, 32766),
      stereo<int32_t>(SampleType::int32, true, 32766 << 16),
      stereo<float>(SampleType::float32, false, 32766.0f / 32767.0f),
      stereo<double>(SampleType::float64, true, 32766.0 / 32767.0),
  };
  for (const PcmBuffer& buffer : buffers) {
    SCOPED_TRACE(buffer.format().description());
    std::vector<int16_t> samples{1, 2, 3, 4, 5};  // replaced, not appended to
    mixDownToMono(buffer, samples);
    ASSERT_EQ(samples.size(), 2u);
    EXPECT_NEAR(samples[0], 32766 / 4, 1);
    EXPECT_EQ(samples[1], 0);

    std::vector<float> floats;
    mixDownToMono(buffer, floats);
    ASSERT_EQ(floats.size(), 2u);
    EXPECT_NEAR(floats[0], 0.25f, 1e-3f);
    EXPECT_EQ(floats[1], 0.0f);
  }
}

TEST(PcmMonoTest, FloatBeyondFullScaleIsClippedAndNaNIsSilenceAtSixteenBits) {
  PcmBuffer buffer({SampleType::float32, 16000.0, 1, false}, 3);
  buffer.setFrameLength(3);
  float* s = buffer.channelData<float>(0);
  s[0] = 4.0f;
  s[1] = -4.0f;
  s[2] = NAN;
  std::vector<int16_t> samples;
  mixDownToMono(buffer, samples);
  ASSERT_EQ(samples.size(), 3u);
  EXPECT_EQ(samples[0], 32767);
  EXPECT_EQ(samples[1], -32767);
  EXPECT_EQ(samples[2], 0);
}

}  // namespace
}  // namespace quorvel
