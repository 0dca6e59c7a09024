// One caption segment as the runtime hands it on: numbered, kind "final" or "volatile", with its
// audio time range in milliseconds and its trimmed, non-empty text. A final may also carry its
// words with their times, when the recognizer gives them (the wire's segment does not carry them).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "caption_engine/base/caption_word.h"

namespace quorvel {

struct CaptionEmission {
  int64_t seq = 0;
  std::string kind;
  int64_t tStartMs = 0;
  int64_t tEndMs = 0;
  std::string text;
  std::vector<CaptionWord> words{};  // in order, inside tStartMs…tEndMs; empty when not timed

  bool isFinal() const { return kind == "final"; }
  bool operator==(const CaptionEmission&) const = default;
};

}  // namespace quorvel
