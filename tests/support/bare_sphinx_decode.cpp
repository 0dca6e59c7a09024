#include "tests/support/bare_sphinx_decode.h"

#include <pocketsphinx.h>
#include <sphinxbase/err.h>

#include <algorithm>
#include <filesystem>

#include "caption_engine/runtime/sphinx/sphinx_model_store.h"
#include "caption_engine/runtime/sphinx/sphinx_text.h"

namespace quorvel::speech {

std::optional<std::string> bareSphinxDecode(const std::vector<int16_t>& samples,
                                            size_t chunkSamples) {
  err_set_logfp(nullptr);
  const std::filesystem::path model = kSystemEnUsModelDirectory;
  cmd_ln_t* config =
      cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", (model / "en-us").c_str(), "-lm",
                  (model / "en-us.lm.bin").c_str(), "-dict", (model / "cmudict-en-us.dict").c_str(),
                  "-logfn", "/dev/null", nullptr);
  if (!config) return std::nullopt;
  ps_decoder_t* ps = ps_init(config);
  if (!ps) {
    cmd_ln_free_r(config);
    return std::nullopt;
  }
  const size_t chunk = std::max<size_t>(1, chunkSamples);
  std::string text;
  auto finish = [&] {
    ps_end_utt(ps);
    int32 score = 0;
    const char* hyp = ps_get_hyp(ps, &score);
    const std::string clean = hyp ? cleanHypothesis(hyp) : "";
    if (!clean.empty()) text += (text.empty() ? "" : " ") + clean;
  };
  ps_start_stream(ps);
  ps_start_utt(ps);
  bool inSpeech = false;
  for (size_t at = 0; at < samples.size(); at += chunk) {
    ps_process_raw(ps, samples.data() + at, std::min(chunk, samples.size() - at), FALSE, FALSE);
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
  return text;
}

}  // namespace quorvel::speech
