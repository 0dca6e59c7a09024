// One caption segment as the runtime hands it on: numbered, kind "final" or "volatile", with its
// audio time range in milliseconds and its trimmed, non-empty text.
#pragma once

#include <cstdint>
#include <string>

namespace quorvel {

struct CaptionEmission {
  int64_t seq = 0;
  std::string kind;
  int64_t tStartMs = 0;
  int64_t tEndMs = 0;
  std::string text;

  bool isFinal() const { return kind == "final"; }
  bool operator==(const CaptionEmission&) const = default;
};

}  // namespace quorvel
