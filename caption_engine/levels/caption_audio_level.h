// Levels of a PCM buffer's first channel: one quick dBFS figure from thinned samples, and level
// readings from every sample through a window accumulator. Float32, int16 and int32 samples are
// measurable; any other sample type gives no level and no readings.
#pragma once

#include <optional>
#include <vector>

#include "caption_engine/base/pcm_buffer.h"
#include "caption_engine/levels/caption_level_windows.h"

namespace quorvel::CaptionAudioLevel {

// RMS level in dBFS floored at -120, or nothing for an empty buffer or unmeasurable samples.
std::optional<double> rmsDb(const PcmBuffer& buffer);
// Feeds every first-channel sample into windows; returns the readings completed on the way.
std::vector<CaptionLevelReading> readings(const PcmBuffer& buffer, CaptionLevelWindows& windows);

}  // namespace quorvel::CaptionAudioLevel
