#include "tools/helper-bench/bare_sphinx.h"

#include <pocketsphinx.h>
#include <sphinxbase/err.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "caption_engine/runtime/sphinx/speech_evaluation.h"
#include "caption_engine/runtime/sphinx/sphinx_model_store.h"
#include "caption_engine/runtime/sphinx/sphinx_text.h"

namespace quorvel::bench {

namespace {

namespace fs = std::filesystem;

// The file producer hands the analyzer 0.1 s chunks; the same size here keeps the two sides
// decoding identical calls.
constexpr size_t kChunkSamples = 1600;

// Same steps as quorvel-sphinx-baseline's bare side.
bool decode(const std::vector<int16_t>& samples, std::string& text) {
  const fs::path model = speech::kSystemEnUsModelDirectory;
  cmd_ln_t* config =
      cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", (model / "en-us").c_str(), "-lm",
                  (model / "en-us.lm.bin").c_str(), "-dict", (model / "cmudict-en-us.dict").c_str(),
                  "-logfn", "/dev/null", nullptr);
  if (!config) return false;
  ps_decoder_t* ps = ps_init(config);
  if (!ps) {
    cmd_ln_free_r(config);
    return false;
  }
  auto finish = [&] {
    ps_end_utt(ps);
    int32 score = 0;
    const char* hyp = ps_get_hyp(ps, &score);
    const std::string clean = hyp ? speech::cleanHypothesis(hyp) : "";
    if (!clean.empty()) text += (text.empty() ? "" : " ") + clean;
  };
  ps_start_stream(ps);
  ps_start_utt(ps);
  bool inSpeech = false;
  for (size_t at = 0; at < samples.size(); at += kChunkSamples) {
    ps_process_raw(ps, samples.data() + at, std::min(kChunkSamples, samples.size() - at), FALSE,
                   FALSE);
    const bool now = ps_get_in_speech(ps);
    if (now) inSpeech = true;
    if (inSpeech && !now) {
      finish();
      ps_start_utt(ps);
      inSpeech = false;
    }
  }
  finish();
  ps_free(ps);
  cmd_ln_free_r(config);
  return true;
}

}  // namespace

int runBareDecode(const std::vector<std::string>& files) {
  err_set_logfp(nullptr);
  for (const auto& file : files) {
    auto wav = speech::readPcm16Wav(file);
    if (!wav || wav->sampleRate != 16000) {
      std::fprintf(stderr, "%s: not a 16 kHz 16-bit WAV file\n", file.c_str());
      return 1;
    }
    std::string text;
    if (!decode(wav->samples, text)) {
      std::fprintf(stderr, "cannot load the en-US model\n");
      return 1;
    }
    std::printf("%s\n", text.c_str());
  }
  std::fflush(stdout);
  return 0;
}

}  // namespace quorvel::bench
