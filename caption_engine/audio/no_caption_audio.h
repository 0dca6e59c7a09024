// A platform with no audio at all: no inputs, and every source refused.
#pragma once

#include "caption_engine/audio/caption_audio_platform.h"

namespace quorvel {

class NoCaptionAudio final : public CaptionAudioPlatform {
 public:
  std::vector<CaptionAudioInput> listInputs() override { return {}; }
  std::shared_ptr<CaptionAudioProducer> makeProducer(const CaptionAudioSource& source) override;
};

}  // namespace quorvel
