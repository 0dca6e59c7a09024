#include "caption_engine/audio/no_caption_audio.h"

#include "caption_engine/runtime/caption_runtime_failure.h"

namespace quorvel {

std::shared_ptr<CaptionAudioProducer> NoCaptionAudio::makeProducer(const CaptionAudioSource&) {
  throw CaptionRuntimeFailure(CaptionRuntimeErrorCode::captionsAudioUnavailable,
                              "this Mac has no audio input the engine can open", std::nullopt,
                              CaptionState::error, false);
}

}  // namespace quorvel
