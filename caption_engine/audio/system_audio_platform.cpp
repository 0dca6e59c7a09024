#include "caption_engine/audio/caption_audio_platform.h"
#include "caption_engine/audio/no_caption_audio.h"

namespace quorvel {

std::shared_ptr<CaptionAudioPlatform> makeSystemAudioPlatform() {
  return std::make_shared<NoCaptionAudio>();
}

}  // namespace quorvel
