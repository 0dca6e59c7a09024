// Band levels of a block of samples: a Hann-windowed real FFT (KissFFT, scaled to the packed
// convention where results are twice the plain transform) summed over 13 logarithmic bands.
// Immutable after construction; bandsDb may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

namespace quorvel {

class CaptionBandAnalyzer {
 public:
  // Bin range of one band: first to last bin included, stored half-open [first, last + 1).
  struct BinRange {
    int64_t first;
    int64_t end;
    bool operator==(const BinRange&) const = default;
  };

  CaptionBandAnalyzer(double sampleRate, int64_t size);
  ~CaptionBandAnalyzer();
  CaptionBandAnalyzer(const CaptionBandAnalyzer&) = delete;
  CaptionBandAnalyzer& operator=(const CaptionBandAnalyzer&) = delete;

  double sampleRate() const { return sampleRate_; }
  int64_t size() const { return size_; }
  const std::vector<BinRange>& bins() const { return bins_; }
  const std::vector<float>& window() const { return window_; }

  // Exactly size() samples, oldest first -> 13 band levels in dB.
  std::vector<double> bandsDb(std::span<const float> samples) const;

 private:
  struct Fft;
  double sampleRate_;
  int64_t size_;
  unsigned log2n_;
  std::unique_ptr<Fft> fft_;
  std::vector<float> window_;
  std::vector<BinRange> bins_;
};

}  // namespace quorvel
