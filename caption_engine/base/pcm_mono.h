// One channel of a buffer in any sample format, as a recognizer takes its audio: the channels
// averaged, each sample converted to 16-bit (full scale) or to float in [-1, 1]. Float samples
// beyond full scale are clipped on the way to 16 bits, and a NaN becomes silence.
#pragma once

#include <cstdint>
#include <vector>

#include "caption_engine/base/pcm_buffer.h"

namespace quorvel {

// Replaces the contents of `out` with the buffer's frames.
void mixDownToMono(const PcmBuffer& buffer, std::vector<int16_t>& out);
void mixDownToMono(const PcmBuffer& buffer, std::vector<float>& out);

}  // namespace quorvel
