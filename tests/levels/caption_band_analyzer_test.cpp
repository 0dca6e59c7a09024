// Band layout, window and band levels of the FFT path, checked against known answers and a direct
// DFT so that a wrong scale or a wrong bin mapping shows.
#include "caption_engine/levels/caption_band_analyzer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <string>
#include <vector>

#include "caption_engine/levels/caption_level_windows.h"

namespace quorvel {
namespace {

using Bins = std::vector<CaptionBandAnalyzer::BinRange>;

// Parses "6–8, 9–11, …" (first–last, both included) into half-open ranges.
Bins parseBins(const std::string& text) {
  Bins out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t dash = text.find("\u2013", pos);
    size_t comma = text.find(",", pos);
    if (comma == std::string::npos) comma = text.size();
    const int64_t first = std::stoll(text.substr(pos, dash - pos));
    const int64_t last = std::stoll(text.substr(dash + 3, comma - dash - 3));
    out.push_back({first, last + 1});
    pos = comma + 2;
  }
  return out;
}

TEST(CaptionBandAnalyzerTest, BandEdgesAreLogarithmicFrom90To7000) {
  const double want[] = {90,      125.804,  175.85,   245.807,  343.593,  480.28,   671.344,
                         938.416, 1311.734, 1833.565, 2562.989, 3582.591, 5007.807, 7000};
  const auto& edges = CaptionLevelReadings::bandEdges();
  ASSERT_EQ(edges.size(), 14u);
  EXPECT_EQ(edges[0], 90.0);
  for (size_t j = 0; j < edges.size(); ++j) EXPECT_NEAR(edges[j], want[j], 0.0006) << j;
}

TEST(CaptionBandAnalyzerTest, BinTablesPerSampleRate) {
  struct Case {
    double rate;
    const char* bins;
  };
  const Case cases[] = {
      {16000,
       "6–8, 9–11, 12–15, 16–21, 22–30, 31–42, 43–60, 61–83, 84–117, 118–164, 165–229, "
       "230–320, 321–447"},
      {48000,
       "2–2, 3–3, 4–5, 6–7, 8–10, 11–14, 15–20, 21–27, 28–39, 40–54, 55–76, 77–106, 107–149"},
      {8000,
       "12–16, 17–22, 23–31, 32–43, 44–61, 62–85, 86–120, 121–167, 168–234, 235–328, "
       "329–458, 459–511, 511–511"},
      {0,
       "6–8, 9–11, 12–15, 16–21, 22–30, 31–42, 43–60, 61–83, 84–117, 118–164, 165–229, "
       "230–320, 321–447"},  // not a usable rate: 16000
  };
  for (const Case& c : cases) {
    CaptionBandAnalyzer a(c.rate, 1024);
    EXPECT_EQ(a.bins(), parseBins(c.bins)) << c.rate;
  }
  EXPECT_EQ(CaptionBandAnalyzer(0, 1024).sampleRate(), 16000.0);
}

TEST(CaptionBandAnalyzerTest, WindowIsTheNormalizedHann) {
  CaptionBandAnalyzer a(16000, 1024);
  const auto& w = a.window();
  ASSERT_EQ(w.size(), 1024u);
  EXPECT_EQ(w[0], 0.0f);
  EXPECT_NEAR(w[512], 2.0 * 0.8165, 1e-4);
  EXPECT_NEAR(w[256], 0.8165, 1e-4);
  // Normalized so that its mean square is 1.
  double meanSquare = 0;
  for (float v : w) meanSquare += double(v) * v;
  EXPECT_NEAR(meanSquare / 1024.0, 1.0, 1e-6);
}

// With the window's sqrt(2/3) and the packed result's factor of 2, a cosine centred on a bin reads
// 20 x log10(amplitude) in the band that holds it and its two neighbouring bins: the centre bin
// carries (c·A·N)², each neighbour a quarter of that, and 1.5 x c² = 1. 1000 Hz at 16000 Hz is
// bin 64, inside band 7 (bins 61–83).
TEST(CaptionBandAnalyzerTest, BinCentredToneReadsItsAmplitudeInItsBand) {
  CaptionBandAnalyzer a(16000, 1024);
  for (double amplitude : {1.0, 0.5}) {
    std::vector<float> tone(1024);
    for (size_t i = 0; i < tone.size(); ++i)
      tone[i] = float(amplitude * std::cos(2.0 * M_PI * 64.0 * i / 1024.0));
    std::vector<double> bands = a.bandsDb(tone);
    ASSERT_EQ(bands.size(), 13u);
    EXPECT_NEAR(bands[7], 20.0 * std::log10(amplitude), 1e-3) << amplitude;
    for (size_t k = 0; k < bands.size(); ++k) {
      if (k != 7) {
        EXPECT_LT(bands[k], bands[7] - 60.0) << "band " << k;
      }
    }
  }
}

TEST(CaptionBandAnalyzerTest, OneKilohertzToneRaisesBand7) {
  CaptionBandAnalyzer a(16000, 1024);
  std::vector<float> tone(1024);
  for (size_t i = 0; i < tone.size(); ++i)
    tone[i] = float(0.5 * std::sin(2.0 * M_PI * 1000.0 * (i + 0.3) / 16000.0));
  std::vector<double> bands = a.bandsDb(tone);
  for (size_t k = 0; k < bands.size(); ++k) {
    if (k != 7) {
      EXPECT_LT(bands[k], bands[7] - 40.0) << "band " << k;
    }
  }
}

// Reference: the windowed signal's plain DFT in double precision, doubled as the packed result is,
// summed over each band and scaled by 1/N².
std::vector<double> referenceBands(const CaptionBandAnalyzer& a, const std::vector<float>& x) {
  const size_t n = x.size();
  std::vector<double> bands;
  for (const auto& range : a.bins()) {
    double sum = 0;
    for (int64_t k = range.first; k < range.end; ++k) {
      std::complex<double> acc = 0;
      for (size_t i = 0; i < n; ++i) {
        acc += double(x[i]) * double(a.window()[i]) *
               std::polar(1.0, -2.0 * M_PI * double(k) * double(i) / double(n));
      }
      sum += std::norm(2.0 * acc);
    }
    bands.push_back(CaptionLevelWindows::db(sum / (double(n) * double(n))));
  }
  return bands;
}

TEST(CaptionBandAnalyzerTest, MatchesADirectDftAtEveryRate) {
  std::vector<float> x(1024);
  uint32_t state = 7;
  for (size_t i = 0; i < x.size(); ++i) {
    state = state * 1664525u + 1013904223u;
    const double noise = (double(state >> 8) / 16777216.0) * 2.0 - 1.0;
    x[i] = float(0.2 * noise + 0.3 * std::sin(0.05 * i) + 0.1 * std::sin(1.3 * i));
  }
  for (double rate : {8000.0, 16000.0, 44100.0, 48000.0}) {
    CaptionBandAnalyzer a(rate, 1024);
    std::vector<double> got = a.bandsDb(x);
    std::vector<double> want = referenceBands(a, x);
    ASSERT_EQ(got.size(), want.size());
    for (size_t k = 0; k < got.size(); ++k)
      EXPECT_NEAR(got[k], want[k], 1e-3) << rate << " band " << k;
  }
}

TEST(CaptionBandAnalyzerTest, SilenceReadsTheFloor) {
  CaptionBandAnalyzer a(48000, 1024);
  EXPECT_EQ(a.bandsDb(std::vector<float>(1024, 0.0f)), std::vector<double>(13, -120.0));
}

// Misuse answers with floor levels instead of reading out of bounds or crashing.
TEST(CaptionBandAnalyzerTest, WrongSizesReadTheFloor) {
  CaptionBandAnalyzer a(16000, 1024);
  EXPECT_EQ(a.bandsDb(std::vector<float>(1000, 1.0f)), std::vector<double>(13, -120.0));
  EXPECT_EQ(a.bandsDb(std::vector<float>{}), std::vector<double>(13, -120.0));
  CaptionBandAnalyzer odd(16000, 1000);
  EXPECT_EQ(odd.bandsDb(std::vector<float>(1000, 1.0f)), std::vector<double>(13, -120.0));
  CaptionBandAnalyzer negative(16000, -4);
  EXPECT_EQ(negative.bandsDb(std::vector<float>{}), std::vector<double>(13, -120.0));
}

}  // namespace
}  // namespace quorvel
