// How long the engine's stop() takes when a host calls it from inside each kind of callback
// (the state, level, level-reading, log and segment observers), on a fake recognizer and audio
// platform so that only the engine's own teardown is timed. Each iteration is one session.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>

#include "tests/api/caption_engine_reentry_cases.h"

namespace {

using namespace quorvel;
using namespace quorvel::testing;
using namespace quorvel::testing::reentry;

void BM_StopFromInsideCallback(benchmark::State& state, const Case& c) {
  for (auto _ : state) {
    Session session(c);
    session.startAndProvoke();
    if (!session.reentry.awaitStopped(10s)) {
      state.SkipWithError("the stop from inside the callback never returned");
      return;
    }
    state.SetIterationTime(std::chrono::duration<double>(session.reentry.stopTook).count());
    if (c.finals >= 0 && session.reentry.ack->finals != c.finals) {
      state.SkipWithError("the stop answered the wrong number of finals");
      return;
    }
  }
}

const bool registered = [] {
  static const auto all = cases();
  for (const Case& c : all) {
    benchmark::RegisterBenchmark(("BM_StopFromInsideCallback/" + std::string(c.name)).c_str(),
                                 BM_StopFromInsideCallback, c)
        ->UseManualTime()
        ->Iterations(20)
        ->Repetitions(3)
        ->ReportAggregatesOnly(true)
        ->Unit(benchmark::kMillisecond);
  }
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
