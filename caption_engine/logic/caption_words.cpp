#include "caption_engine/logic/caption_words.h"

#include <algorithm>

#include "caption_engine/logic/caption_text.h"

namespace quorvel::CaptionWords {

std::vector<CaptionWord> placed(std::vector<CaptionWord> words, int64_t tStartMs, int64_t tEndMs) {
  const int64_t end = std::max(tEndMs, tStartMs);
  std::vector<CaptionWord> out;
  out.reserve(words.size());
  int64_t earliest = tStartMs;
  for (CaptionWord& w : words) {
    w.text = CaptionText::trimmed(w.text);
    if (w.text.empty()) continue;
    w.tStartMs = std::clamp(w.tStartMs, earliest, end);
    w.tEndMs = std::clamp(w.tEndMs, w.tStartMs, end);
    earliest = w.tStartMs;
    out.push_back(std::move(w));
  }
  return out;
}

}  // namespace quorvel::CaptionWords
