#include "caption_cues.h"

#include <algorithm>

#include "caption_line_wrap.h"

namespace quorvel::tools {

namespace {

// Words, each at most a line wide, with their times.
std::vector<CaptionWord> timedPieces(const std::string& text, int64_t tStartMs, int64_t tEndMs,
                                     const std::vector<CaptionWord>& words, size_t lineLength) {
  std::vector<CaptionWord> timed;
  if (!words.empty()) {
    for (const CaptionWord& w : words) {
      for (const std::string& word : CaptionLineWrap::words(w.text))
        timed.push_back({word, w.tStartMs, w.tEndMs});
    }
  } else {
    // No word times: spread the range over the words by their share of the text.
    const std::vector<std::string> plain = CaptionLineWrap::words(text);
    size_t total = 0;
    for (const std::string& w : plain) total += CaptionLineWrap::width(w) + 1;
    const int64_t span = std::max<int64_t>(tEndMs - tStartMs, 0);
    size_t at = 0;
    for (const std::string& w : plain) {
      const size_t width = CaptionLineWrap::width(w);
      const auto time = [&](size_t offset) {
        return tStartMs +
               static_cast<int64_t>(static_cast<double>(span) * static_cast<double>(offset) /
                                    static_cast<double>(total));
      };
      timed.push_back({w, time(at), time(at + width)});
      at += width + 1;
    }
  }
  // A word wider than a line is cut, its time shared out by the pieces' widths.
  std::vector<CaptionWord> out;
  for (const CaptionWord& w : timed) {
    const std::vector<std::string> parts = CaptionLineWrap::pieces(w.text, lineLength);
    if (parts.size() == 1) {
      out.push_back(w);
      continue;
    }
    const size_t total = CaptionLineWrap::width(w.text);
    const int64_t span = std::max<int64_t>(w.tEndMs - w.tStartMs, 0);
    size_t at = 0;
    for (const std::string& part : parts) {
      const size_t width = CaptionLineWrap::width(part);
      const auto time = [&](size_t offset) {
        return w.tStartMs +
               static_cast<int64_t>(static_cast<double>(span) * static_cast<double>(offset) /
                                    static_cast<double>(total));
      };
      out.push_back({part, time(at), time(at + width)});
      at += width;
    }
  }
  return out;
}

}  // namespace

CaptionCueSplitter::CaptionCueSplitter(CaptionCueLimits limits) : limits_(limits) {
  limits_.maxLineLength = std::max<size_t>(limits_.maxLineLength, 1);
  limits_.maxCueMs = std::max<int64_t>(limits_.maxCueMs, 1);
}

std::vector<CaptionCue> CaptionCueSplitter::split(const std::string& text, int64_t tStartMs,
                                                  int64_t tEndMs,
                                                  const std::vector<CaptionWord>& words) {
  const std::vector<CaptionWord> timed =
      timedPieces(text, tStartMs, tEndMs, words, limits_.maxLineLength);
  // The lines of the words [first, last), or nothing when they do not make one cue.
  const auto cueLines = [&](size_t first, size_t last) -> std::vector<std::string> {
    if (last - first > 1 && timed[last - 1].tEndMs - timed[first].tStartMs > limits_.maxCueMs) {
      return {};
    }
    std::vector<std::string> texts;
    for (size_t i = first; i < last; ++i) texts.push_back(timed[i].text);
    return CaptionLineWrap::balancedTwoLines(texts, limits_.maxLineLength);
  };

  // Each cue takes as many words as fit on its lines and its time on screen (one word always
  // makes a cue: it is never wider than a line).
  std::vector<size_t> starts;
  for (size_t first = 0; first < timed.size();) {
    starts.push_back(first);
    size_t next = first + 1;
    while (next < timed.size() && !cueLines(first, next + 1).empty()) ++next;
    first = next;
  }
  // Filling greedily can leave a few words alone at the end: share the last two cues' words out
  // so that the longer of the two is as short as it can be.
  if (starts.size() >= 2) {
    const size_t a = starts[starts.size() - 2];
    const auto widthOf = [&](size_t first, size_t last) {
      size_t w = 0;
      for (size_t i = first; i < last; ++i) w += CaptionLineWrap::width(timed[i].text) + 1;
      return w;
    };
    size_t best = starts.back();
    size_t bestWidth = std::max(widthOf(a, best), widthOf(best, timed.size()));
    for (size_t split = a + 1; split < starts.back(); ++split) {
      const size_t w = std::max(widthOf(a, split), widthOf(split, timed.size()));
      if (w < bestWidth && !cueLines(a, split).empty() && !cueLines(split, timed.size()).empty()) {
        best = split;
        bestWidth = w;
      }
    }
    starts.back() = best;
  }

  std::vector<CaptionCue> cues;
  for (size_t c = 0; c < starts.size(); ++c) {
    const size_t first = starts[c];
    const size_t last = c + 1 < starts.size() ? starts[c + 1] : timed.size();
    CaptionCue cue;
    cue.tStartMs = std::max(timed[first].tStartMs, lastEndMs_);
    cue.tEndMs = std::clamp(timed[last - 1].tEndMs, cue.tStartMs, cue.tStartMs + limits_.maxCueMs);
    cue.lines = cueLines(first, last);
    lastEndMs_ = cue.tEndMs;
    cues.push_back(std::move(cue));
  }
  return cues;
}

}  // namespace quorvel::tools
