#include "caption_engine/runtime/caption_engine_core.h"

namespace quorvel {

// A build without the recognizer has no speech service: every start answers that recognition is
// not available.
std::shared_ptr<speech::SpeechService> makeDefaultSpeechService() { return nullptr; }

}  // namespace quorvel
