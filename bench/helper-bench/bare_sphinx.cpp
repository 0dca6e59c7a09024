#include "bench/helper-bench/bare_sphinx.h"

#include <cstdio>

#include "tests/support/bare_sphinx_decode.h"
#include "tests/support/wav_file.h"

namespace quorvel::bench {

int runBareDecode(const std::vector<std::string>& files) {
  for (const auto& file : files) {
    auto wav = quorvel::support::readMonoWav(file);
    if (!wav || wav->sampleRate != 16000) {
      std::fprintf(stderr, "%s: not a 16 kHz 16-bit WAV file\n", file.c_str());
      return 1;
    }
    // The file producer hands the analyzer 0.1 s chunks; the same size here keeps the two sides
    // decoding identical calls.
    const std::optional<std::string> text = speech::bareSphinxDecode(wav->samples, 1600);
    if (!text) {
      std::fprintf(stderr, "cannot load the en-US model\n");
      return 1;
    }
    std::printf("%s\n", text->c_str());
  }
  std::fflush(stdout);
  return 0;
}

}  // namespace quorvel::bench
