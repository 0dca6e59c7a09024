// Shared fixtures of the neural recognizer's tests: the fabricated models made at build time
// (make_sherpa_models.py), the library, and synthetic tone signals the models answer.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "caption_engine/base/pcm_buffer.h"
#include "caption_engine/runtime/sherpa/sherpa_library.h"

namespace quorvel::speech::testing {

inline std::filesystem::path fabricatedModels() { return QUORVEL_SHERPA_TEST_MODELS; }

// Skips the test when the fabricated models or the library cannot be had on this machine.
#define QUORVEL_REQUIRE_SHERPA()                                                          \
  do {                                                                                    \
    if (!std::filesystem::exists(::quorvel::speech::testing::fabricatedModels() / "ctc")) \
      GTEST_SKIP() << "no fabricated models (python3-onnx missing at build time)";        \
    std::string whyNot;                                                                   \
    if (!::quorvel::speech::SherpaLibrary::get(&whyNot)) GTEST_SKIP() << whyNot;          \
  } while (0)

// A signal the fabricated models answer: loud 440 Hz bursts ("hello"), loud 4 kHz bursts
// ("world"), and silence between them, at 16 kHz.
class ToneScript {
 public:
  static constexpr int kRate = 16000;
  ToneScript& silence(double seconds) { return add(0, seconds); }
  ToneScript& low(double seconds) { return add(440, seconds); }
  ToneScript& high(double seconds) { return add(4000, seconds); }
  const std::vector<float>& samples() const { return samples_; }
  double seconds() const { return static_cast<double>(samples_.size()) / kRate; }

 private:
  ToneScript& add(double hz, double seconds) {
    const size_t n = static_cast<size_t>(std::lround(seconds * kRate));
    for (size_t i = 0; i < n; ++i) {
      samples_.push_back(hz == 0 ? 0.0f
                                 : static_cast<float>(0.5 * std::sin(2 * M_PI * hz * i / kRate)));
    }
    return *this;
  }
  std::vector<float> samples_;
};

// The script as mono float buffers of `chunk` samples.
inline std::vector<PcmBuffer> floatBuffers(const std::vector<float>& samples, size_t chunk) {
  AudioFormat f;
  f.sampleType = SampleType::float32;
  f.sampleRate = 16000;
  f.channels = 1;
  f.interleaved = true;
  std::vector<PcmBuffer> out;
  for (size_t at = 0; at < samples.size(); at += chunk) {
    const size_t n = std::min(chunk, samples.size() - at);
    PcmBuffer b(f, static_cast<uint32_t>(n));
    b.setFrameLength(static_cast<uint32_t>(n));
    std::copy(samples.begin() + static_cast<long>(at), samples.begin() + static_cast<long>(at + n),
              b.channelData<float>(0));
    out.push_back(std::move(b));
  }
  return out;
}

}  // namespace quorvel::speech::testing
