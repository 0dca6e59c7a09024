#include "caption_engine/audio/caption_audio_platform.h"
#include "caption_engine/audio/pulse_capture_audio.h"

namespace quorvel {

std::shared_ptr<CaptionAudioPlatform> makeSystemAudioPlatform() {
  return std::make_shared<PulseCaptureAudio>();
}

}  // namespace quorvel
