// Cost of the session rules on their hot paths: admitting a speech result, normalising terms.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "caption_engine/logic/caption_segment_sequencer.h"
#include "caption_engine/logic/caption_terms.h"

namespace {

// One admit per speech result: a volatile hypothesis, alternating with the occasional final.
void BM_SequencerAdmit(benchmark::State& state) {
  quorvel::CaptionSegmentSequencer sequencer;
  const std::string text = "  the quick brown fox jumps over the lazy dog \n";
  int64_t nowMs = 0;
  int64_t audioMs = 0;
  int64_t i = 0;
  for (auto _ : state) {
    nowMs += 100;
    audioMs += 100;
    const bool isFinal = (++i % 8) == 0;
    benchmark::DoNotOptimize(sequencer.admit(isFinal, audioMs - 100, audioMs, text, nowMs));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SequencerAdmit);

void BM_SequencerAdmitNonAscii(benchmark::State& state) {
  quorvel::CaptionSegmentSequencer sequencer;
  const std::string text = "\u3000Gr\u00FC\u00DFe aus K\u00F6ln, sch\u00F6nen Tag\u3000";
  int64_t nowMs = 0;
  for (auto _ : state) {
    nowMs += 300;
    benchmark::DoNotOptimize(sequencer.admit(false, nowMs, nowMs + 100, text, nowMs));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SequencerAdmitNonAscii);

void BM_TermsNormalise500(benchmark::State& state) {
  std::vector<std::string> terms;
  for (int i = 0; i < 600; ++i)
    terms.push_back("  Term\t" + std::to_string(i % 550) + " Stra\u00DFe ");
  for (auto _ : state) benchmark::DoNotOptimize(quorvel::CaptionTerms::normalise(terms));
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(terms.size()));
}
BENCHMARK(BM_TermsNormalise500);

}  // namespace

BENCHMARK_MAIN();
