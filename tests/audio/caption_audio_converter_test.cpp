#include "caption_engine/audio/caption_audio_converter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "tests/audio/audio_test_signals.h"

namespace quorvel {
namespace {

using testing::makeBuffer;
using testing::samples;
using Status = CaptionAudioConverter::Status;

const AudioFormat kMonoInt16{SampleType::int16, 16000.0, 1, true};
const AudioFormat kMonoFloat{SampleType::float32, 16000.0, 1, false};

struct CapacityCase {
  double inRate;
  double outRate;
  uint32_t frames;
  std::optional<uint32_t> expected;
};

TEST(CaptionAudioConverterTest, OutputCapacityIsRatioTimesFramesTruncatedPlus1024) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const CapacityCase cases[] = {
      {48000, 16000, 4800, 1600 + 1024},
      {44100, 16000, 4410, 1600 + 1024},
      {16000, 16000, 1600, 1600 + 1024},
      {8000, 16000, 800, 1600 + 1024},
      {48000, 16000, 4801, 1600 + 1024},  // 1600.33 truncated
      {22050, 16000, 1, 0 + 1024},        // 0.73 truncated
      {48000, 16000, 0, 1024},
      // The largest buffer whose capacity still fits in 32 bits, and the first that does not.
      {16000, 16000, 4294967295u - 1024u, 4294967295u},
      {16000, 16000, 4294967295u - 1023u, std::nullopt},
      {1, 48000, 100000, std::nullopt},  // 4.8e9 frames
      {0, 16000, 4800, std::nullopt},
      {-48000, 16000, 4800, std::nullopt},
      {nan, 16000, 4800, std::nullopt},
      {inf, 16000, 4800, std::nullopt},
      {48000, 0, 4800, std::nullopt},
      {48000, nan, 4800, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CaptionAudioConverter::outputCapacity(c.inRate, c.outRate, c.frames), c.expected)
        << c.inRate << " -> " << c.outRate << " with " << c.frames << " frames";
  }
}

struct SineCase {
  const char* name;
  AudioFormat input;
};

// A 440 Hz sine at half scale, in every channel, fed in 0.1 s buffers: after conversion to
// 16 kHz mono it must still be 440 Hz with an RMS of 0.5/sqrt(2), and buffer-by-buffer conversion
// must give exactly the samples of converting the whole signal at once (the resampler keeps its
// history between buffers instead of being flushed).
TEST(CaptionAudioConverterTest, SineKeepsFrequencyAndAmplitudeThroughEveryInputFormat) {
  const SineCase inputs[] = {
      {"float32 planar stereo 48k", {SampleType::float32, 48000, 2, false}},
      {"float32 interleaved stereo 44.1k", {SampleType::float32, 44100, 2, true}},
      {"int16 interleaved stereo 48k", {SampleType::int16, 48000, 2, true}},
      {"int32 interleaved mono 8k", {SampleType::int32, 8000, 1, true}},
      {"float64 planar 3 ch 22.05k", {SampleType::float64, 22050, 3, false}},
      {"int16 planar stereo 32k", {SampleType::int16, 32000, 2, false}},
      {"float32 mono 16k (equal rate)", {SampleType::float32, 16000, 1, false}},
  };
  for (const AudioFormat& target : {kMonoInt16, kMonoFloat}) {
    for (const auto& c : inputs) {
      SCOPED_TRACE(std::string(c.name) + " -> " + target.description());
      const double rate = c.input.sampleRate;
      const uint32_t chunk = static_cast<uint32_t>(rate / 10);
      const uint32_t total = static_cast<uint32_t>(rate * 2);  // 2 s
      auto wave = [&](uint32_t, uint64_t f) { return testing::sine(440, 0.5, rate, f); };

      CaptionAudioConverter chunked(target);
      std::vector<double> out;
      for (uint32_t at = 0; at < total; at += chunk) {
        auto result = chunked.convert(makeBuffer(c.input, std::min(chunk, total - at), wave, at));
        ASSERT_EQ(result.status, Status::converted);
        ASSERT_TRUE(result.buffer);
        EXPECT_EQ(result.buffer->format(), target);
        auto part = samples(*result.buffer);
        out.insert(out.end(), part.begin(), part.end());
      }
      auto tail = chunked.flush();
      ASSERT_EQ(tail.status, Status::converted);
      auto rest = samples(*tail.buffer);
      out.insert(out.end(), rest.begin(), rest.end());
      EXPECT_EQ(chunked.contextsMade(), 1);

      // 2 s at 16 kHz, give or take the resampler's rounding.
      EXPECT_NEAR(static_cast<double>(out.size()), 32000.0, 2.0);
      EXPECT_NEAR(testing::sineFrequency(out, 16000, 1600, 30400), 440.0, 0.5);
      EXPECT_NEAR(20 * std::log10(testing::rms(out, 1600, 30400) / (0.5 / std::sqrt(2.0))), 0.0,
                  0.1);

      CaptionAudioConverter whole(target);
      auto once = whole.convert(makeBuffer(c.input, total, wave));
      ASSERT_EQ(once.status, Status::converted);
      auto onceSamples = samples(*once.buffer);
      auto onceTail = samples(*whole.flush().buffer);
      onceSamples.insert(onceSamples.end(), onceTail.begin(), onceTail.end());
      ASSERT_EQ(onceSamples.size(), out.size());
      for (size_t i = 0; i < out.size(); ++i) {
        ASSERT_NEAR(out[i], onceSamples[i], 1e-6) << "sample " << i;
      }
    }
  }
}

// Down-mixing to mono is the average of the channels, not libswresample's default 0.707 per
// channel (which would make a one-sided signal 3 dB louder than it is).
TEST(CaptionAudioConverterTest, StereoToMonoIsTheAverageOfTheChannels) {
  const AudioFormat stereo{SampleType::float32, 16000, 2, false};
  auto input = makeBuffer(stereo, 1600, [](uint32_t ch, uint64_t f) {
    return ch == 0 ? testing::sine(300, 0.8, 16000, f) : 0.25;
  });
  CaptionAudioConverter converter(kMonoFloat);
  auto result = converter.convert(input);
  ASSERT_EQ(result.status, Status::converted);
  ASSERT_EQ(result.buffer->frameLength(), 1600u);  // equal rates: everything in one pass
  auto left = samples(input, 0);
  auto mono = samples(*result.buffer);
  for (size_t i = 0; i < mono.size(); ++i) {
    ASSERT_NEAR(mono[i], (left[i] + 0.25) / 2, 1e-6) << "sample " << i;
  }
}

TEST(CaptionAudioConverterTest, MonoToStereoTargetCopiesTheChannel) {
  const AudioFormat stereoTarget{SampleType::float32, 16000, 2, true};
  auto input = makeBuffer(kMonoInt16, 160, [](uint32_t, uint64_t f) { return f % 2 ? 0.5 : -0.5; });
  CaptionAudioConverter converter(stereoTarget);
  auto result = converter.convert(input);
  ASSERT_EQ(result.status, Status::converted);
  EXPECT_EQ(samples(*result.buffer, 0), samples(*result.buffer, 1));
  EXPECT_NEAR(samples(*result.buffer, 0)[1], 0.5, 1e-4);
}

TEST(CaptionAudioConverterTest, KeepsOneContextWhileTheInputFormatStaysEqual) {
  const AudioFormat stereo{SampleType::float32, 48000, 2, false};
  const AudioFormat mono{SampleType::float32, 48000, 1, false};
  auto silence = [](uint32_t, uint64_t) { return 0.0; };
  CaptionAudioConverter converter(kMonoInt16);
  EXPECT_EQ(converter.contextsMade(), 0);
  converter.convert(makeBuffer(stereo, 4800, silence));
  converter.convert(makeBuffer(stereo, 4800, silence));
  EXPECT_EQ(converter.contextsMade(), 1);
  converter.convert(makeBuffer(mono, 4800, silence));
  EXPECT_EQ(converter.contextsMade(), 2);
  converter.convert(makeBuffer(stereo, 4800, silence));
  EXPECT_EQ(converter.contextsMade(), 3);
  // One channel is the same layout whether called interleaved or not: no new context.
  converter.convert(makeBuffer(mono, 4800, silence));
  converter.convert(makeBuffer({SampleType::float32, 48000, 1, true}, 4800, silence));
  EXPECT_EQ(converter.contextsMade(), 4);
}

TEST(CaptionAudioConverterTest, ResamplingIntoTheTargetGetsTheOutputCapacityOfTheRatio) {
  const AudioFormat input{SampleType::float32, 48000, 1, false};
  CaptionAudioConverter converter(kMonoInt16);
  auto result = converter.convert(makeBuffer(input, 4800, [](uint32_t, uint64_t) { return 0.1; }));
  ASSERT_EQ(result.status, Status::converted);
  EXPECT_EQ(result.buffer->frameCapacity(), 2624u);
  // The resampler holds back its filter delay; the rest of the 1600 frames comes later.
  EXPECT_GT(result.buffer->frameLength(), 1500u);
  EXPECT_LE(result.buffer->frameLength(), 1600u);
}

TEST(CaptionAudioConverterTest, AnEmptyBufferConvertsToZeroFrames) {
  for (double rate : {16000.0, 48000.0}) {
    CaptionAudioConverter converter(kMonoInt16);
    auto result = converter.convert(PcmBuffer({SampleType::float32, rate, 2, false}, 0));
    ASSERT_EQ(result.status, Status::converted) << rate;
    ASSERT_TRUE(result.buffer);
    EXPECT_EQ(result.buffer->frameLength(), 0u);
  }
}

TEST(CaptionAudioConverterTest, AnUnusableInputFormatHasNoConverterAndTheNextBufferTriesAgain) {
  const AudioFormat broken{SampleType::float32, 0.0, 1, false};
  CaptionAudioConverter converter(kMonoInt16);
  EXPECT_EQ(
      converter.convert(makeBuffer(broken, 10, [](uint32_t, uint64_t) { return 0.0; })).status,
      Status::noConverter);
  EXPECT_EQ(converter.convert(PcmBuffer({SampleType::float32, 16000, 0, false}, 0)).status,
            Status::noConverter);
  EXPECT_EQ(converter.contextsMade(), 0);
  auto ok = converter.convert(makeBuffer(kMonoFloat, 10, [](uint32_t, uint64_t) { return 0.0; }));
  EXPECT_EQ(ok.status, Status::converted);
  EXPECT_EQ(converter.contextsMade(), 1);
}

// A rate so low that the output would not fit in 32 bits is refused instead of wrapping around.
TEST(CaptionAudioConverterTest, AnOutputThatDoesNotFitIsRefused) {
  const AudioFormat slow{SampleType::float32, 1.0, 1, false};
  CaptionAudioConverter converter({SampleType::int16, 48000, 1, true});
  auto result = converter.convert(makeBuffer(slow, 100000, [](uint32_t, uint64_t) { return 0.0; }));
  EXPECT_EQ(result.status, Status::noOutputBuffer);
  EXPECT_FALSE(result.buffer);
}

TEST(CaptionAudioConverterTest, FloatOutputOfFullScaleIntStaysInRangeAndIntOutputClips) {
  const AudioFormat loud{SampleType::float32, 16000, 1, false};
  CaptionAudioConverter converter(kMonoInt16);
  auto result = converter.convert(makeBuffer(loud, 4, [](uint32_t, uint64_t f) {
    return f % 2 ? 1.5 : -1.5;  // beyond full scale
  }));
  ASSERT_EQ(result.status, Status::converted);
  const int16_t* s = result.buffer->channelData<int16_t>(0);
  EXPECT_EQ(s[0], -32768);
  EXPECT_EQ(s[1], 32767);
}

}  // namespace
}  // namespace quorvel
