// One recognized word of a final caption segment and the audio it covers, in milliseconds of the
// session's audio timeline (the timeline of its segment). Shared by the session rules, the runtime
// and the engine interface; std::hash covers exactly what equality compares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "caption_engine/base/caption_value_hash.h"

namespace quorvel {

struct CaptionWord {
  std::string text;
  int64_t tStartMs = 0;
  int64_t tEndMs = 0;

  bool operator==(const CaptionWord&) const = default;
};

}  // namespace quorvel

namespace std {

template <>
struct hash<quorvel::CaptionWord> {
  size_t operator()(const quorvel::CaptionWord& w) const noexcept {
    return quorvel::hashing::hashFields(w.text, w.tStartMs, w.tEndMs);
  }
};

}  // namespace std
