#include "caption_engine/runtime/caption_engine_core.h"

namespace quorvel {

// Replaced by the recognizer's service once the speech layer is in the build.
std::shared_ptr<speech::SpeechService> makeDefaultSpeechService() { return nullptr; }

}  // namespace quorvel
