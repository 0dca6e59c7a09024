// Band levels through KissFFT's real transform. KissFFT returns the plain transform X[0…N/2];
// the band levels are defined on the packed convention whose values are twice the plain transform,
// with the DC term in the first real part and the Nyquist term in the first imaginary part, so the
// results are mapped onto that before the squared magnitudes are taken.
#include "caption_engine/levels/caption_band_analyzer.h"

#include <kiss_fftr.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <numbers>

#include "caption_engine/levels/caption_level_windows.h"

namespace quorvel {

// The KissFFT set-up. kiss_fftr writes scratch space inside its configuration, so transforms on
// one set-up are serialised by the mutex (uncontended in practice: the runtime calls bandsDb under
// its state lock).
struct CaptionBandAnalyzer::Fft {
  kiss_fftr_cfg cfg = nullptr;
  std::mutex mutex;
  explicit Fft(int nfft) : cfg(kiss_fftr_alloc(nfft, 0, nullptr, nullptr)) {}
  ~Fft() { kiss_fftr_free(cfg); }
  Fft(const Fft&) = delete;
  Fft& operator=(const Fft&) = delete;
};

CaptionBandAnalyzer::CaptionBandAnalyzer(double sampleRate, int64_t size)
    : sampleRate_(sampleRate > 0 && std::isfinite(sampleRate) ? sampleRate : 16000.0),
      size_(size),
      log2n_(size > 0 ? static_cast<unsigned>(std::lround(std::log2(static_cast<double>(size))))
                      : 0u) {
  // Only a power of two of at least 2 points has a radix-2 set-up; any other size is a
  // programming error, answered with floor levels rather than a crash.
  const bool powerOfTwo = size >= 2 && size <= (int64_t{1} << 30) && (size & (size - 1)) == 0;
  if (powerOfTwo) {
    fft_ = std::make_unique<Fft>(static_cast<int>(size));
    if (!fft_->cfg) fft_.reset();
  }

  // Normalized Hann window: sqrt(2/3) x (1 - cos(2 pi i / N)), so that the window's mean square
  // is 1.
  const double norm = std::sqrt(2.0 / 3.0);
  const int64_t n = std::max<int64_t>(size, 0);
  window_.resize(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) {
    const double phase = 2.0 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(n);
    window_[static_cast<size_t>(i)] = static_cast<float>(norm * (1.0 - std::cos(phase)));
  }

  // Bins of each band: from the first bin at or above the lower edge to the last bin below the
  // upper edge; a band narrower than one bin, or above the Nyquist frequency, gets the one bin
  // nearest its geometric centre. Bin 0 (DC and Nyquist in the packed result) is never used.
  const double binHz = sampleRate_ / static_cast<double>(std::max<int64_t>(size, 1));
  const double top = static_cast<double>(std::max<int64_t>(size / 2 - 1, 1));
  const auto& edges = CaptionLevelReadings::bandEdges();
  bins_.reserve(CaptionLevelReadings::bandCount);
  for (size_t k = 0; k + 1 < edges.size(); ++k) {
    const double lo = edges[k];
    const double hi = edges[k + 1];
    double first = std::ceil(lo / binHz);
    double last = std::min(std::ceil(hi / binHz) - 1.0, top);
    if (last < first) {
      double c = std::round(std::sqrt(lo * hi) / binHz);
      c = std::min(std::max(c, 1.0), top);
      first = last = c;
    }
    bins_.push_back({static_cast<int64_t>(first), static_cast<int64_t>(last) + 1});
  }
}

CaptionBandAnalyzer::~CaptionBandAnalyzer() = default;

std::vector<double> CaptionBandAnalyzer::bandsDb(std::span<const float> samples) const {
  std::vector<double> bands(bins_.size(), CaptionLevelWindows::db(0.0));
  if (!fft_ || samples.size() != static_cast<size_t>(size_)) return bands;

  const size_t n = static_cast<size_t>(size_);
  const size_t half = n / 2;
  std::vector<float> windowed(n);
  for (size_t i = 0; i < n; ++i) windowed[i] = samples[i] * window_[i];

  std::vector<kiss_fft_cpx> spectrum(half + 1);
  {
    std::lock_guard<std::mutex> lock(fft_->mutex);
    kiss_fftr(fft_->cfg, windowed.data(), spectrum.data());
  }

  // Squared magnitudes in the packed convention (twice the plain transform).
  std::vector<float> magnitudes(half);
  {
    const float re = 2.0f * spectrum[0].r;
    const float im = 2.0f * spectrum[half].r;
    magnitudes[0] = re * re + im * im;
  }
  for (size_t k = 1; k < half; ++k) {
    const float re = 2.0f * spectrum[k].r;
    const float im = 2.0f * spectrum[k].i;
    magnitudes[k] = re * re + im * im;
  }

  const double scale = static_cast<double>(size_) * static_cast<double>(size_);
  for (size_t b = 0; b < bins_.size(); ++b) {
    double sum = 0.0;
    for (int64_t i = bins_[b].first; i < bins_[b].end; ++i)
      sum += magnitudes[static_cast<size_t>(i)];
    bands[b] = CaptionLevelWindows::db(sum / scale);
  }
  return bands;
}

}  // namespace quorvel
