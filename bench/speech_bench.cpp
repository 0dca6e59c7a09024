// Cost and accuracy of the speech service on pocketsphinx: loading a model, decoding the librivox
// recordings through an analyzer in 100 ms chunks (CPU per second of audio, word error rate),
// and applying contextual terms.
#include <benchmark/benchmark.h>

#include <time.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "caption_engine/runtime/sphinx/sphinx_decoder.h"
#include "caption_engine/runtime/sphinx/sphinx_speech_service.h"
#include "tests/support/speech_evaluation.h"
#include "tests/support/wav_file.h"

namespace {

namespace fs = std::filesystem;
using namespace quorvel;
using namespace quorvel::speech;

const fs::path kModel = kSystemEnUsModelDirectory;
const fs::path kLibrivox = "/usr/share/pocketsphinx/test/data/librivox";

SphinxModelFiles enUs() {
  return {kModel / "en-us", kModel / "en-us.lm.bin", kModel / "cmudict-en-us.dict"};
}

struct Librivox {
  std::vector<std::vector<int16_t>> files;
  std::vector<std::string> references;
  double seconds = 0;
};

const Librivox& librivox() {
  static const Librivox data = [] {
    Librivox l;
    std::vector<std::string> lines;
    std::ifstream in(kLibrivox / "transcription");
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::ifstream ids(kLibrivox / "fileids");
    for (std::string id; std::getline(ids, id);) {
      auto wav = quorvel::support::readMonoWav(kLibrivox / (id + ".wav"));
      if (!wav) continue;
      l.seconds += static_cast<double>(wav->samples.size()) / 16000.0;
      l.files.push_back(wav->samples);
      for (auto& line : lines) {
        if (line.find("(" + id + ")") != std::string::npos) l.references.push_back(line);
      }
    }
    return l;
  }();
  return data;
}

double processCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string decodeThroughService(SpeechService& service, const std::vector<int16_t>& samples,
                                 const std::vector<std::string>& terms) {
  auto transcriber = service.makeTranscriber("en-US", {false, true, false, true});
  auto analyzer = service.makeAnalyzer(transcriber);
  if (!terms.empty()) analyzer->setContext(terms);
  const AudioFormat format = *analyzer->bestAvailableAudioFormat();
  std::string text;
  auto take = [&](const std::vector<SpeechResult>& results) {
    for (const auto& r : results) {
      if (r.isFinal) text += r.text + " ";
    }
  };
  analyzer->start();
  for (size_t at = 0; at < samples.size(); at += 1600) {
    const size_t n = std::min<size_t>(1600, samples.size() - at);
    PcmBuffer b(format, static_cast<uint32_t>(n));
    b.setFrameLength(static_cast<uint32_t>(n));
    std::memcpy(b.channelData<int16_t>(0), samples.data() + at, n * sizeof(int16_t));
    take(analyzer->analyze(b));
  }
  take(analyzer->finish());
  return text;
}

void BM_LoadEnUsModel(benchmark::State& state) {
  for (auto _ : state) {
    SphinxDecoder decoder(enUs());
    benchmark::DoNotOptimize(decoder.sampleRate());
  }
}
BENCHMARK(BM_LoadEnUsModel)->Unit(benchmark::kMillisecond)->Iterations(3);

// The five librivox recordings, one analyzer each (model loads included), with volatile results.
// Counters: CPU seconds per second of audio and the word error rate of the finals. Arg 0: no
// terms; 1: two in-audio terms; 2: four unrelated terms.
void BM_DecodeLibrivox(benchmark::State& state) {
  const std::vector<std::vector<std::string>> termSets = {
      {}, {"Dashwood", "prudently"}, {"Kubernetes", "spreadsheet", "Quorvel", "Tuesday meeting"}};
  const auto& terms = termSets[static_cast<size_t>(state.range(0))];
  SphinxSpeechService service;
  const Librivox& data = librivox();
  WordErrors total;
  double cpu = 0;
  for (auto _ : state) {
    total = {};
    const double before = processCpuSeconds();
    for (size_t i = 0; i < data.files.size(); ++i) {
      WordErrors e =
          wordErrors(data.references[i], decodeThroughService(service, data.files[i], terms));
      total.errors += e.errors;
      total.referenceWords += e.referenceWords;
    }
    cpu += processCpuSeconds() - before;
  }
  state.counters["cpuPerAudioSecond"] =
      cpu / (data.seconds * static_cast<double>(state.iterations()));
  state.counters["werPercent"] = 100.0 * total.rate();
  state.counters["audioSeconds"] = data.seconds;
}
BENCHMARK(BM_DecodeLibrivox)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime();

// Replacing the contextual terms between utterances (a new interpolated model and search).
void BM_SetContext(benchmark::State& state) {
  SphinxDecoder decoder(enUs());
  bool flip = false;
  for (auto _ : state) {
    decoder.setContext(flip ? std::vector<std::string>{"Dashwood", "prudently", "Norland Park"}
                            : std::vector<std::string>{"Kubernetes", "Quorvel", "Tuesday meeting"});
    flip = !flip;
  }
}
BENCHMARK(BM_SetContext)->Unit(benchmark::kMillisecond)->Iterations(6);

}  // namespace

BENCHMARK_MAIN();
