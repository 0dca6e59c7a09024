#include "caption_engine/logic/caption_level_tracker.h"

namespace quorvel {
namespace {

// True when a level taken at atMs still counts at nowMs. A reading from the future (a clock that
// went backwards) counts as fresh; the comparison is done without overflow.
bool isFresh(int64_t nowMs, int64_t atMs) {
  int64_t age = 0;
  if (__builtin_sub_overflow(nowMs, atMs, &age)) return nowMs < atMs;
  return age <= CaptionLevelTracker::staleAfterMs;
}

}  // namespace

double CaptionLevelTracker::level(int64_t nowMs) const {
  if (!lastDb) return silentFloorDb;
  return isFresh(nowMs, lastAtMs) ? *lastDb : silentFloorDb;
}

std::optional<double> CaptionLevelTracker::reported(int64_t nowMs) const {
  if (!lastDb) return std::nullopt;
  return isFresh(nowMs, lastAtMs) ? *lastDb : silentFloorDb;
}

bool CaptionLevelTracker::canJudgeSilence(int64_t buffersFed) const {
  return lastDb.has_value() || buffersFed == 0;
}

}  // namespace quorvel
