// Regression: KissFFT keeps scratch space inside its set-up, so one analyzer shared by copies of
// an accumulator and used from several threads garbled band levels. The FFT's
// scratch space must not be shared unguarded.
#include <gtest/gtest.h>

#include <cmath>
#include <latch>
#include <thread>
#include <vector>

#include "caption_engine/levels/caption_band_analyzer.h"

namespace quorvel {
namespace {

TEST(CaptionBandAnalyzerThreadedTest, ConcurrentTransformsGiveTheSingleThreadedResult) {
  CaptionBandAnalyzer analyzer(16000, 1024);
  std::vector<std::vector<float>> signals(2, std::vector<float>(1024));
  for (size_t i = 0; i < 1024; ++i) {
    signals[0][i] = float(std::sin(2.0 * M_PI * 300.0 * i / 16000.0));
    signals[1][i] = float(std::sin(2.0 * M_PI * 4000.0 * i / 16000.0));
  }
  const std::vector<double> want0 = analyzer.bandsDb(signals[0]);
  const std::vector<double> want1 = analyzer.bandsDb(signals[1]);

  std::latch start(2);
  int mismatches[2] = {0, 0};
  auto worker = [&](int which, const std::vector<double>& want) {
    start.arrive_and_wait();
    for (int i = 0; i < 3000; ++i) {
      if (analyzer.bandsDb(signals[which]) != want) ++mismatches[which];
    }
  };
  std::thread a(worker, 0, std::cref(want0));
  std::thread b(worker, 1, std::cref(want1));
  a.join();
  b.join();
  EXPECT_EQ(mismatches[0], 0);
  EXPECT_EQ(mismatches[1], 0);
}

}  // namespace
}  // namespace quorvel
