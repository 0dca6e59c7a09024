#include "tests/support/speech_evaluation.h"

#include <algorithm>
#include <cctype>

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

}  // namespace quorvel::speech
