// Cost of metering on the audio thread: the per-buffer level and the per-sample reading windows.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "caption_engine/base/pcm_buffer.h"
#include "caption_engine/levels/caption_audio_level.h"
#include "caption_engine/levels/caption_level_windows.h"

namespace {

quorvel::PcmBuffer toneBuffer(double rate, uint32_t frames) {
  quorvel::PcmBuffer b(quorvel::AudioFormat{quorvel::SampleType::float32, rate, 1, false}, frames);
  b.setFrameLength(frames);
  float* data = b.channelData<float>(0);
  for (uint32_t i = 0; i < frames; ++i)
    data[i] = float(0.5 * std::sin(2.0 * M_PI * 440.0 * i / rate));
  return b;
}

// 100 ms at 48 kHz, float32: thinned to 256 samples.
void BM_RmsDb4800Float(benchmark::State& state) {
  const quorvel::PcmBuffer buffer = toneBuffer(48000, 4800);
  for (auto _ : state) benchmark::DoNotOptimize(quorvel::CaptionAudioLevel::rmsDb(buffer));
}
BENCHMARK(BM_RmsDb4800Float);

// One second of 48 kHz audio through the reading windows: 24 readings, each with a 1024-point FFT.
void BM_ReadingsOneSecond48kBands(benchmark::State& state) {
  const quorvel::PcmBuffer buffer = toneBuffer(48000, 48000);
  quorvel::CaptionLevelWindows windows(48000, quorvel::CaptionLevelReadings::perSecond,
                                       state.range(0) != 0);
  for (auto _ : state)
    benchmark::DoNotOptimize(quorvel::CaptionAudioLevel::readings(buffer, windows));
  state.SetItemsProcessed(state.iterations() * 48000);
}
BENCHMARK(BM_ReadingsOneSecond48kBands)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);

void BM_BandsDb1024(benchmark::State& state) {
  quorvel::CaptionBandAnalyzer analyzer(48000, 1024);
  std::vector<float> samples(1024);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = float(std::sin(0.1 * i));
  for (auto _ : state) benchmark::DoNotOptimize(analyzer.bandsDb(samples));
}
BENCHMARK(BM_BandsDb1024);

}  // namespace

BENCHMARK_MAIN();
