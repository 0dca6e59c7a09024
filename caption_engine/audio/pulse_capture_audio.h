// The machine's audio platform: lists the sound server's capture sources as inputs and makes
// producers for files (FileAudioProducer), the default source and sources picked by name
// (PulseCaptureProducer; the one for the default source falls back to the server's new default
// while the source that was default is gone). No reachable server means no inputs, never an error.
//
// Threads: any thread; the platform keeps no mutable state.
#pragma once

#include <functional>

#include "caption_engine/audio/caption_audio_platform.h"

namespace quorvel {

class PulseCaptureAudio final : public CaptionAudioPlatform {
 public:
  // Microphone authorization as the platform reports it: 0 not determined, 1 restricted,
  // 2 denied, 3 authorized.
  using MicAuthorization = std::function<int()>;

  PulseCaptureAudio();
  // With a different source of the microphone authorization (a confined build, or a test).
  explicit PulseCaptureAudio(MicAuthorization micAuthorization);

  std::vector<CaptionAudioInput> listInputs() override;
  std::shared_ptr<CaptionAudioProducer> makeProducer(const CaptionAudioSource& source) override;

  // The note beside inputs that record what the machine plays.
  static constexpr const char* kMonitorNote = "System audio";

 private:
  void requireMicPermission() const;
  MicAuthorization micAuthorization_;
};

}  // namespace quorvel
