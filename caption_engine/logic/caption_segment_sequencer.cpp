#include "caption_engine/logic/caption_segment_sequencer.h"

#include <algorithm>
#include <limits>

#include "caption_engine/logic/caption_text.h"

namespace quorvel {
namespace {

// now - then without overflow; saturates at the int64 limits.
int64_t elapsedMs(int64_t nowMs, int64_t thenMs) {
  int64_t diff = 0;
  if (__builtin_sub_overflow(nowMs, thenMs, &diff)) {
    return nowMs > thenMs ? std::numeric_limits<int64_t>::max()
                          : std::numeric_limits<int64_t>::min();
  }
  return diff;
}

}  // namespace

std::optional<CaptionEmission> CaptionSegmentSequencer::admit(bool isFinal, int64_t tStartMs,
                                                              int64_t tEndMs, std::string_view text,
                                                              int64_t nowMs) {
  std::string trimmedText = CaptionText::trimmed(text);
  if (trimmedText.empty()) return std::nullopt;

  const int64_t start = std::max<int64_t>(tStartMs, 0);
  const int64_t end = std::max(tEndMs, start);

  if (isFinal) {
    ++lastSeq_;
    ++finals_;
    lastFinalEndMs_ = std::max(lastFinalEndMs_, end);
    lastVolatileAtMs_.reset();
    return CaptionEmission{lastSeq_, "final", start, end, std::move(trimmedText)};
  }

  // lastFinalEndMs_ is never negative, so the subtraction cannot overflow.
  const bool superseded = end <= lastFinalEndMs_;
  const bool insideFinalised = start < lastFinalEndMs_ - supersessionToleranceMs;
  const bool tooSoon =
      lastVolatileAtMs_ && elapsedMs(nowMs, *lastVolatileAtMs_) < volatileMinSpacingMs;
  if (superseded || insideFinalised || tooSoon) {
    ++droppedVolatiles_;
    return std::nullopt;
  }
  lastVolatileAtMs_ = nowMs;
  ++lastSeq_;
  return CaptionEmission{lastSeq_, "volatile", start, end, std::move(trimmedText)};
}

}  // namespace quorvel
