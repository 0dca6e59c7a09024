// Cost of the neural recognizer (sherpa-onnx): opening its library, creating a recognizer, and the
// engine's own work per second of audio on tiny fabricated models (made here with
// tests/speech/make_sherpa_models.py); and, for a real streaming model when one is installed
// (the model store's neural en-US model, or $QUORVEL_SHERPA_BENCH_MODEL), word error rate on the
// librivox recordings (compare BM_DecodeLibrivox/0 of speech_bench), CPU per second of audio, the
// first volatile's and the finals' latency in audio time, and peak memory. Without a real model
// that benchmark reports that it was skipped.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <variant>

#include "caption_engine/runtime/sherpa/sherpa_analyzer.h"
#include "caption_engine/runtime/sherpa/sherpa_library.h"
#include "caption_engine/runtime/sherpa/sherpa_model.h"
#include "caption_engine/runtime/sphinx/sphinx_model_store.h"
#include "tests/support/speech_evaluation.h"
#include "tests/support/wav_file.h"

namespace {

namespace fs = std::filesystem;
using namespace quorvel;
using namespace quorvel::speech;

const fs::path kLibrivox = "/usr/share/pocketsphinx/test/data/librivox";

double cpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double residentMiB() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1 << 20);
}

double peakMiB() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_maxrss) / 1024.0;
}

// The fabricated models, made once per run in a temporary directory.
const fs::path& fabricated() {
  static const fs::path dir = [] {
    fs::path d = fs::temp_directory_path() / ("quorvel-sherpa-bench-" + std::to_string(getpid()));
    const std::string cmd = "/usr/bin/python3 " QUORVEL_SOURCE_DIR
                            "/tests/speech/make_sherpa_models.py " +
                            d.string() + " 2>/dev/null";
    if (std::system(cmd.c_str()) != 0) return fs::path();
    std::atexit([] {
      std::error_code ec;
      fs::remove_all(
          fs::temp_directory_path() / ("quorvel-sherpa-bench-" + std::to_string(getpid())), ec);
    });
    return d;
  }();
  return dir;
}

const SherpaLibrary* library(benchmark::State& state) {
  std::string why;
  const SherpaLibrary* lib = SherpaLibrary::get(&why);
  if (!lib) state.SkipWithError(("skipped: " + why).c_str());
  return lib;
}

std::optional<SherpaModel> loadModel(const fs::path& dir) {
  auto m = inspectSherpaModel(dir);
  if (auto* ok = std::get_if<SherpaModel>(&m)) return *ok;
  return std::nullopt;
}

TranscriberOptions withVolatiles() {
  TranscriberOptions o;
  o.volatileResults = true;
  o.fastResults = true;
  o.audioTimeRange = true;
  return o;
}

PcmBuffer floatBuffer(const float* samples, size_t n) {
  AudioFormat f;
  f.sampleType = SampleType::float32;
  f.sampleRate = 16000;
  f.channels = 1;
  f.interleaved = true;
  PcmBuffer b(f, static_cast<uint32_t>(n));
  b.setFrameLength(static_cast<uint32_t>(n));
  std::memcpy(b.channelData<float>(0), samples, n * sizeof(float));
  return b;
}

// Opening the library (first call in the process): wall time and resident memory it adds.
void BM_SherpaOpenLibrary(benchmark::State& state) {
  const double before = residentMiB();
  const auto t0 = std::chrono::steady_clock::now();
  const SherpaLibrary* lib = nullptr;
  for (auto _ : state) lib = library(state);
  if (!lib) return;
  state.counters["openMs"] =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  state.counters["residentAddedMiB"] = residentMiB() - before;
}
BENCHMARK(BM_SherpaOpenLibrary)->Iterations(1)->Unit(benchmark::kMillisecond);

// Creating a recognizer on a fabricated model (0: CTC, 1: transducer): its load time.
void BM_SherpaLoadFabricated(benchmark::State& state) {
  const SherpaLibrary* lib = library(state);
  if (!lib) return;
  if (fabricated().empty()) return state.SkipWithError("skipped: python3-onnx is missing");
  auto model = loadModel(fabricated() / (state.range(0) == 0 ? "ctc" : "transducer"));
  if (!model) return state.SkipWithError("fabricated model refused");
  for (auto _ : state) {
    SherpaAnalyzer a(*lib, *model, "en-US", withVolatiles());
    benchmark::DoNotOptimize(&a);
  }
}
BENCHMARK(BM_SherpaLoadFabricated)->Arg(0)->Arg(1)->Iterations(10)->Unit(benchmark::kMillisecond);

// The engine's own work: 60 s of tone bursts through a fabricated model in 100 ms chunks.
void BM_SherpaFabricatedOverhead(benchmark::State& state) {
  const SherpaLibrary* lib = library(state);
  if (!lib) return;
  if (fabricated().empty()) return state.SkipWithError("skipped: python3-onnx is missing");
  auto model = loadModel(fabricated() / (state.range(0) == 0 ? "ctc" : "transducer"));
  if (!model) return state.SkipWithError("fabricated model refused");
  std::vector<float> audio;
  for (int i = 0; i < 60 * 16000; ++i) {
    const double t = (i % 16000) / 16000.0;
    const double hz = t < 0.3 ? 440 : (t > 0.5 && t < 0.8 ? 4000 : 0);
    audio.push_back(hz ? static_cast<float>(0.5 * std::sin(2 * M_PI * hz * i / 16000)) : 0.0f);
  }
  double cpu = 0;
  for (auto _ : state) {
    SherpaAnalyzer a(*lib, *model, "en-US", withVolatiles());
    a.start();
    const double before = cpuSeconds();
    for (size_t at = 0; at < audio.size(); at += 1600)
      benchmark::DoNotOptimize(a.analyze(floatBuffer(audio.data() + at, 1600)));
    benchmark::DoNotOptimize(a.finish());
    cpu += cpuSeconds() - before;
  }
  state.counters["cpuMsPerAudioSecond"] =
      1000.0 * cpu / (60.0 * static_cast<double>(state.iterations()));
}
BENCHMARK(BM_SherpaFabricatedOverhead)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

// A real model: the one named by $QUORVEL_SHERPA_BENCH_MODEL, else the store's neural en-US.
std::optional<fs::path> realModel() {
  if (const char* dir = std::getenv("QUORVEL_SHERPA_BENCH_MODEL"); dir && *dir)
    return fs::path(dir);
  SphinxModelStore store(SphinxModelStore::defaultDirectory(), kSystemEnUsModelDirectory);
  return store.installedSherpaModel("en-US");
}

void BM_SherpaRealModelLibrivox(benchmark::State& state) {
  const SherpaLibrary* lib = library(state);
  if (!lib) return;
  auto dir = realModel();
  if (!dir) {
    return state.SkipWithError(
        "skipped: no neural en-US model installed (install one, or set "
        "QUORVEL_SHERPA_BENCH_MODEL=DIR)");
  }
  auto model = loadModel(*dir);
  if (!model) return state.SkipWithError(("skipped: " + dir->string() + " is refused").c_str());
  std::vector<std::string> lines, ids;
  {
    std::ifstream in(kLibrivox / "transcription");
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    std::ifstream idf(kLibrivox / "fileids");
    for (std::string id; std::getline(idf, id);) ids.push_back(id);
  }
  if (ids.empty()) return state.SkipWithError("skipped: pocketsphinx-testdata is missing");
  WordErrors total;
  double cpu = 0, audioSeconds = 0, firstVolatile = 0, finalLatency = 0;
  int files = 0, finals = 0;
  for (auto _ : state) {
    for (const std::string& id : ids) {
      auto wav = quorvel::support::readMonoWav(kLibrivox / (id + ".wav"));
      if (!wav) continue;
      std::vector<float> audio(wav->samples.size());
      for (size_t i = 0; i < audio.size(); ++i) audio[i] = wav->samples[i] / 32768.0f;
      audio.insert(audio.end(), 16000, 0.0f);
      SherpaAnalyzer a(*lib, *model, "en-US", withVolatiles());
      a.start();
      std::string text;
      bool sawVolatile = false;
      const double before = cpuSeconds();
      for (size_t at = 0; at < audio.size(); at += 1600) {
        const size_t n = std::min<size_t>(1600, audio.size() - at);
        const double fedSeconds = static_cast<double>(at + n) / 16000.0;
        for (const auto& r : a.analyze(floatBuffer(audio.data() + at, n))) {
          if (!r.isFinal && !sawVolatile) {
            sawVolatile = true;
            firstVolatile += fedSeconds - r.rangeStartSeconds;
          }
          if (r.isFinal) {
            text += r.text + " ";
            finalLatency += fedSeconds - (r.rangeStartSeconds + r.rangeDurationSeconds);
            ++finals;
          }
        }
      }
      for (const auto& r : a.finish()) text += r.text + " ";
      cpu += cpuSeconds() - before;
      audioSeconds += static_cast<double>(wav->samples.size()) / 16000.0;
      for (const auto& line : lines) {
        if (line.find("(" + id + ")") == std::string::npos) continue;
        WordErrors e = wordErrors(line, text);
        total.errors += e.errors;
        total.referenceWords += e.referenceWords;
      }
      ++files;
    }
  }
  state.counters["werPercent"] = 100.0 * total.rate();
  state.counters["cpuPerAudioSecond"] = cpu / audioSeconds;
  state.counters["firstVolatileMs"] = files ? 1000.0 * firstVolatile / files : 0;
  state.counters["finalLatencyMs"] = finals ? 1000.0 * finalLatency / finals : 0;
  state.counters["peakMiB"] = peakMiB();
}
BENCHMARK(BM_SherpaRealModelLibrivox)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
