// quorvel-sphinx-baseline: decodes 16 kHz WAV recordings twice, with bare pocketsphinx and
// through the speech service, in chunks of the same size, and prints each transcript with the
// word error rate against the transcription file beside the recordings and the CPU time spent.
//
//   quorvel-sphinx-baseline [--chunk-ms N] [--terms "a,b c"] [FILE.wav ...]
//
// Without files it decodes the librivox recordings of pocketsphinx-testdata. Each file is
// decoded by a fresh decoder on both sides; the bare side follows the recognizer's voice
// detector exactly as the service does (an utterance ends when speech ends), so both sides must
// agree word for word. With --terms the service decodes with those contextual terms as well.
#include <sphinxbase/err.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <thread>

#include "caption_engine/runtime/sphinx/sphinx_speech_service.h"
#include "tests/support/bare_sphinx_decode.h"
#include "tests/support/speech_evaluation.h"
#include "tests/support/wav_file.h"

namespace fs = std::filesystem;
using namespace quorvel;
using namespace quorvel::speech;

namespace {

const fs::path kLibrivox = "/usr/share/pocketsphinx/test/data/librivox";

double cpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The reference line for a recording: from "transcription" or "*.transcription" beside it.
std::string referenceFor(const fs::path& wav) {
  const std::string id = wav.stem().string();
  std::error_code ec;
  for (auto& f : fs::directory_iterator(wav.parent_path(), ec)) {
    const std::string name = f.path().filename().string();
    if (name != "transcription" && f.path().extension() != ".transcription") continue;
    std::ifstream in(f.path());
    for (std::string line; std::getline(in, line);) {
      if (line.find("(" + id + ")") != std::string::npos) return line;
    }
  }
  return {};
}

std::string serviceDecode(SpeechService& service, const std::vector<int16_t>& samples, size_t chunk,
                          const std::vector<std::string>& terms, double& loadCpu) {
  const double before = cpuSeconds();
  auto transcriber = service.makeTranscriber("en-US", {});
  auto analyzer = service.makeAnalyzer(transcriber);
  loadCpu += cpuSeconds() - before;
  if (!terms.empty()) analyzer->setContext(terms);
  const AudioFormat format = *analyzer->bestAvailableAudioFormat();
  std::string text;
  auto take = [&](const std::vector<SpeechResult>& results) {
    for (const auto& r : results) {
      if (r.isFinal && !r.text.empty()) text += (text.empty() ? "" : " ") + r.text;
    }
  };
  analyzer->start();
  for (size_t at = 0; at < samples.size(); at += chunk) {
    const size_t n = std::min(chunk, samples.size() - at);
    PcmBuffer b(format, static_cast<uint32_t>(n));
    b.setFrameLength(static_cast<uint32_t>(n));
    std::memcpy(b.channelData<int16_t>(0), samples.data() + at, n * sizeof(int16_t));
    take(analyzer->analyze(b));
  }
  take(analyzer->finish());
  return text;
}

std::vector<std::string> splitTerms(const std::string& s) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= s.size()) {
    size_t comma = s.find(',', start);
    std::string t = s.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (!t.empty()) out.push_back(t);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  err_set_logfp(nullptr);
  int chunkMs = 100;
  std::vector<std::string> terms;
  std::vector<fs::path> files;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--chunk-ms" && i + 1 < argc)
      chunkMs = std::atoi(argv[++i]);
    else if (a == "--terms" && i + 1 < argc)
      terms = splitTerms(argv[++i]);
    else if (a == "-h" || a == "--help") {
      std::cout
          << "usage: quorvel-sphinx-baseline [--chunk-ms N] [--terms \"a,b c\"] [FILE.wav ...]\n";
      return 0;
    } else
      files.push_back(a);
  }
  if (files.empty()) {
    for (auto& f : fs::directory_iterator(kLibrivox)) {
      if (f.path().extension() == ".wav") files.push_back(f.path());
    }
    std::sort(files.begin(), files.end());
  }
  if (chunkMs <= 0) chunkMs = 100;
  const size_t chunk = static_cast<size_t>(16 * chunkMs);

  SphinxSpeechService service;
  WordErrors bareTotal, serviceTotal, termsTotal;
  double audio = 0, bareCpu = 0, serviceCpu = 0, termsCpu = 0, loadCpu = 0;
  size_t differing = 0;
  for (const fs::path& file : files) {
    auto wav = quorvel::support::readMonoWav(file);
    if (!wav || wav->sampleRate != 16000) {
      std::cerr << file << ": not a 16 kHz 16-bit WAV file\n";
      return 1;
    }
    const std::string reference = referenceFor(file);
    audio += static_cast<double>(wav->samples.size()) / 16000.0;

    double t0 = cpuSeconds();
    const std::optional<std::string> decoded = bareSphinxDecode(wav->samples, chunk);
    if (!decoded) {
      std::cerr << "cannot load the model\n";
      return 1;
    }
    const std::string& bare = *decoded;
    bareCpu += cpuSeconds() - t0;
    double loadBefore = loadCpu;
    t0 = cpuSeconds();
    const std::string viaService = serviceDecode(service, wav->samples, chunk, {}, loadCpu);
    serviceCpu += cpuSeconds() - t0 - (loadCpu - loadBefore);

    auto add = [](WordErrors& total, const WordErrors& e) {
      total.errors += e.errors;
      total.referenceWords += e.referenceWords;
    };
    WordErrors be = wordErrors(reference, bare);
    WordErrors se = wordErrors(reference, viaService);
    add(bareTotal, be);
    add(serviceTotal, se);
    if (bare != viaService) ++differing;
    std::cout << file.filename().string() << "\n  ref:     " << evaluationWords(reference).size()
              << " words\n"
              << "  bare:    " << bare << "  (" << be.errors << " errors)\n"
              << "  service: " << viaService << "  (" << se.errors << " errors)\n";
    if (!terms.empty()) {
      double scratch = 0;
      t0 = cpuSeconds();
      const std::string biased = serviceDecode(service, wav->samples, chunk, terms, scratch);
      termsCpu += cpuSeconds() - t0 - scratch;
      WordErrors te = wordErrors(reference, biased);
      add(termsTotal, te);
      std::cout << "  terms:   " << biased << "  (" << te.errors << " errors)\n";
    }
  }
  std::printf("\n%zu files, %.1f s of audio, %d ms chunks\n", files.size(), audio, chunkMs);
  std::printf(
      "bare pocketsphinx: WER %.1f%% (%zu/%zu), CPU %.2f s (%.3fx real time, model loads "
      "included)\n",
      100 * bareTotal.rate(), bareTotal.errors, bareTotal.referenceWords, bareCpu, bareCpu / audio);
  std::printf(
      "speech service:    WER %.1f%% (%zu/%zu), CPU %.2f s (%.3fx real time) + model loads %.2f "
      "s\n",
      100 * serviceTotal.rate(), serviceTotal.errors, serviceTotal.referenceWords, serviceCpu,
      serviceCpu / audio, loadCpu);
  if (!terms.empty()) {
    std::printf(
        "service with terms: WER %.1f%% (%zu/%zu), CPU %.2f s (terms applied before decoding)\n",
        100 * termsTotal.rate(), termsTotal.errors, termsTotal.referenceWords, termsCpu);
  }
  std::printf("transcripts differing between bare and service: %zu\n", differing);
  return differing == 0 ? 0 : 2;
}
