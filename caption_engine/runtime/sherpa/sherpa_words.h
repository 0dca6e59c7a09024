// Words from the recognizer's tokens and their times. BPE pieces carry "▁" (U+2581) where a word
// begins; a piece without it continues the word before. A piece that is only the marker or a
// space ends the word; special symbols ("<unk>", "<blk>", byte pieces "<0x..>") are dropped. A
// word starts at its first piece and ends one encoder frame after its last piece, but never
// after the next word starts.
//
// Times are seconds on the analyzer's timeline: the recognizer's token times (counted from its
// segment's start) plus segmentStartSeconds.
#pragma once

#include <string>
#include <vector>

#include "caption_engine/runtime/speech_service.h"

namespace quorvel::speech {

std::vector<SpeechWord> mergeSherpaTokens(const std::vector<std::string>& tokens,
                                          const std::vector<float>& tokenSeconds,
                                          double segmentStartSeconds, double frameSeconds);

}  // namespace quorvel::speech
