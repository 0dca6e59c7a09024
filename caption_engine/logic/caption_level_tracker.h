// The last measured input level and when it was measured, and how old a level may be before it
// no longer counts. A value type; the runtime keeps one per session under its state lock.
#pragma once

#include <cstdint>
#include <optional>

namespace quorvel {

struct CaptionLevelTracker {
  static constexpr int64_t staleAfterMs = 3000;
  static constexpr double silentFloorDb = -120.0;

  std::optional<double> lastDb;
  int64_t lastAtMs = 0;

  void note(double db, int64_t atMs) {
    lastDb = db;
    lastAtMs = atMs;
  }
  // The level to judge silence with now: the last level while fresh, else the floor.
  double level(int64_t nowMs) const;
  // The level to show in a status: nothing before any measurement, the floor once stale.
  std::optional<double> reported(int64_t nowMs) const;
  // False only when buffers were fed but none could be measured.
  bool canJudgeSilence(int64_t buffersFed) const;

  bool operator==(const CaptionLevelTracker&) const = default;
};

}  // namespace quorvel
