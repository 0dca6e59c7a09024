// Decides which transcription results reach the host as caption segments: trims their text,
// clamps their time ranges, numbers them, and holds back volatile results that a final has
// superseded or that come too soon after the previous volatile. One sequencer per session.
//
// No locking of its own: the runtime calls it under its state lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "caption_engine/logic/caption_emission.h"

namespace quorvel {

class CaptionSegmentSequencer {
 public:
  static constexpr int64_t volatileMinSpacingMs = 250;
  static constexpr int64_t supersessionToleranceMs = 250;

  CaptionSegmentSequencer() = default;

  // The emission to forward, or nothing when the result is held back or empty.
  std::optional<CaptionEmission> admit(bool isFinal, int64_t tStartMs, int64_t tEndMs,
                                       std::string_view text, int64_t nowMs);

  int64_t lastSeq() const { return lastSeq_; }
  int64_t finals() const { return finals_; }
  int64_t lastFinalEndMs() const { return lastFinalEndMs_; }
  int64_t droppedVolatiles() const { return droppedVolatiles_; }

 private:
  int64_t lastSeq_ = 0;
  int64_t finals_ = 0;
  int64_t lastFinalEndMs_ = 0;
  int64_t droppedVolatiles_ = 0;
  std::optional<int64_t> lastVolatileAtMs_;
};

}  // namespace quorvel
