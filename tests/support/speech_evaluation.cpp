#include "tests/support/speech_evaluation.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <iterator>

namespace quorvel::speech {

std::vector<std::string> evaluationWords(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  auto flush = [&] {
    if (!word.empty() && word != "<s>" && word != "</s>") {
      std::string clean;
      for (char c : word) {
        unsigned char u = static_cast<unsigned char>(c);
        if (std::isalnum(u) || c == '\'' || u >= 0x80)
          clean.push_back(static_cast<char>(std::tolower(u)));
      }
      if (!clean.empty()) words.push_back(clean);
    }
    word.clear();
  };
  std::string t = text;
  // "(utterance-id)" at the end of a transcription line.
  if (!t.empty() && t.back() == ')') {
    size_t open = t.rfind('(');
    if (open != std::string::npos) t.resize(open);
  }
  for (char c : t) {
    if (std::isspace(static_cast<unsigned char>(c)))
      flush();
    else
      word.push_back(c);
  }
  flush();
  return words;
}

WordErrors wordErrors(const std::string& reference, const std::string& hypothesis) {
  const auto ref = evaluationWords(reference);
  const auto hyp = evaluationWords(hypothesis);
  std::vector<size_t> prev(hyp.size() + 1);
  std::vector<size_t> cur(hyp.size() + 1);
  for (size_t j = 0; j <= hyp.size(); ++j) prev[j] = j;
  for (size_t i = 1; i <= ref.size(); ++i) {
    cur[0] = i;
    for (size_t j = 1; j <= hyp.size(); ++j) {
      size_t sub = prev[j - 1] + (ref[i - 1] == hyp[j - 1] ? 0 : 1);
      cur[j] = std::min({sub, prev[j] + 1, cur[j - 1] + 1});
    }
    std::swap(prev, cur);
  }
  return {prev[hyp.size()], ref.size()};
}

std::optional<WavAudio> readPcm16Wav(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<unsigned char> d((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
  auto u32 = [&](size_t at) {
    return uint32_t(d[at]) | uint32_t(d[at + 1]) << 8 | uint32_t(d[at + 2]) << 16 |
           uint32_t(d[at + 3]) << 24;
  };
  auto u16 = [&](size_t at) { return uint16_t(d[at] | d[at + 1] << 8); };
  if (d.size() < 12 || std::memcmp(d.data(), "RIFF", 4) != 0 ||
      std::memcmp(d.data() + 8, "WAVE", 4) != 0) {
    return std::nullopt;
  }
  int channels = 0;
  WavAudio out;
  bool pcm16 = false;
  size_t at = 12;
  while (at + 8 <= d.size()) {
    const uint32_t size = u32(at + 4);
    const size_t body = at + 8;
    const size_t bodyEnd = std::min(d.size(), body + size);
    if (std::memcmp(d.data() + at, "fmt ", 4) == 0 && bodyEnd - body >= 16) {
      pcm16 = u16(body) == 1 && u16(body + 14) == 16;
      channels = u16(body + 2);
      out.sampleRate = static_cast<int>(u32(body + 4));
    } else if (std::memcmp(d.data() + at, "data", 4) == 0) {
      if (!pcm16 || channels <= 0) return std::nullopt;
      const size_t frames = (bodyEnd - body) / (2 * static_cast<size_t>(channels));
      out.samples.resize(frames);
      for (size_t f = 0; f < frames; ++f) {
        int sum = 0;
        for (int c = 0; c < channels; ++c)
          sum += static_cast<int16_t>(u16(body + (f * channels + c) * 2));
        out.samples[f] = static_cast<int16_t>(sum / channels);
      }
      return out;
    }
    at = body + size + (size & 1);
  }
  return std::nullopt;
}

}  // namespace quorvel::speech
