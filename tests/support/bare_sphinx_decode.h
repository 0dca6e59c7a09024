// Bare pocketsphinx, the yardstick for the speech service and the helper: a recording decoded
// straight through the library in chunks of a fixed size by one fresh decoder, utterances
// following the recognizer's voice detector exactly as the speech service does (an utterance
// ends when speech ends), so that both must agree word for word.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvel::speech {

// The transcript of 16 kHz mono samples: each utterance's final hypothesis, fillers and
// pronunciation variants removed, joined by spaces. Nothing when the system's en-US model cannot
// be loaded.
std::optional<std::string> bareSphinxDecode(const std::vector<int16_t>& samples,
                                            size_t chunkSamples);

}  // namespace quorvel::speech
