// The rule that places a final's recognized words on its segment: each word's text trimmed (a word
// with no text left is dropped) and its times kept inside the segment's range, in order. Pure.
#pragma once

#include <cstdint>
#include <vector>

#include "caption_engine/base/caption_word.h"

namespace quorvel::CaptionWords {

// The words inside tStartMs…tEndMs (an end before the start counts as the start): every start and
// end is clamped into the range, an end never comes before its start, and a start never comes
// before the previous word's start.
std::vector<CaptionWord> placed(std::vector<CaptionWord> words, int64_t tStartMs, int64_t tEndMs);

}  // namespace quorvel::CaptionWords
