// Final caption segments cut into subtitle cues as subtitles are usually made: at most two lines
// of at most `maxLineLength` code points, at most `maxCueMs` on screen, cut at word boundaries at
// the words' own times, and never overlapping the cue before. A segment without word times has
// its words timed in proportion to their length across its range. A value type: one per
// subtitle track, fed the session's finals in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "caption_engine/base/caption_word.h"

namespace quorvel::tools {

struct CaptionCueLimits {
  static constexpr size_t maxLines = 2;
  size_t maxLineLength = 42;
  int64_t maxCueMs = 7000;
};

struct CaptionCue {
  int64_t tStartMs = 0;
  int64_t tEndMs = 0;
  std::vector<std::string> lines;

  bool operator==(const CaptionCue&) const = default;
};

class CaptionCueSplitter {
 public:
  explicit CaptionCueSplitter(CaptionCueLimits limits = {});

  // The cues of one final, in order. Words, when given, are the final's words with their times
  // (their text is what the cues show); otherwise the text is cut into words.
  std::vector<CaptionCue> split(const std::string& text, int64_t tStartMs, int64_t tEndMs,
                                const std::vector<CaptionWord>& words);

 private:
  CaptionCueLimits limits_;
  int64_t lastEndMs_ = 0;  // no cue may start before the end of the one before
};

}  // namespace quorvel::tools
