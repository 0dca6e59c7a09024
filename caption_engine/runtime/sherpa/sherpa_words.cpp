#include "caption_engine/runtime/sherpa/sherpa_words.h"

#include <algorithm>

namespace quorvel::speech {

namespace {

const std::string kMarker = "\xE2\x96\x81";  // U+2581, the word-start mark of BPE pieces

bool isSpecial(const std::string& t) {
  return t.size() >= 2 && t.front() == '<' && t.back() == '>';
}

}  // namespace

std::vector<SpeechWord> mergeSherpaTokens(const std::vector<std::string>& tokens,
                                          const std::vector<float>& tokenSeconds,
                                          double segmentStartSeconds, double frameSeconds) {
  std::vector<SpeechWord> words;
  bool open = false;  // the last word may still grow
  double lastPieceEnd = 0.0;
  auto close = [&] {
    if (open) words.back().durationSeconds = lastPieceEnd - words.back().startSeconds;
    open = false;
  };
  for (size_t i = 0; i < tokens.size(); ++i) {
    std::string piece = tokens[i];
    const double at =
        segmentStartSeconds + (i < tokenSeconds.size() ? static_cast<double>(tokenSeconds[i]) : 0);
    if (isSpecial(piece)) continue;
    bool starts = false;
    while (piece.starts_with(kMarker)) {
      piece.erase(0, kMarker.size());
      starts = true;
    }
    while (!piece.empty() && piece.front() == ' ') {
      piece.erase(0, 1);
      starts = true;
    }
    if (starts) close();
    if (piece.empty()) continue;  // a bare marker or space: only a boundary
    if (!open) {
      // The word before ends no later than this one starts.
      if (!words.empty()) {
        SpeechWord& prev = words.back();
        prev.durationSeconds =
            std::max(0.0, std::min(prev.durationSeconds, at - prev.startSeconds));
      }
      words.push_back({piece, at, 0.0});
      open = true;
    } else {
      words.back().text += piece;
    }
    lastPieceEnd = at + frameSeconds;
  }
  close();
  return words;
}

}  // namespace quorvel::speech
