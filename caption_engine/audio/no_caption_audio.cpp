#include "caption_engine/audio/no_caption_audio.h"

#include "caption_engine/audio/caption_audio_error.h"

namespace quorvel {

std::shared_ptr<CaptionAudioProducer> NoCaptionAudio::makeProducer(const CaptionAudioSource&) {
  throw CaptionAudioError("this Mac has no audio input the engine can open");
}

}  // namespace quorvel
