#include "caption_engine/audio/pulse_capture_audio.h"

#include "caption_engine/audio/caption_audio_error.h"
#include "caption_engine/audio/caption_input_naming.h"
#include "caption_engine/audio/file_audio_producer.h"
#include "caption_engine/audio/pulse_capture_producer.h"
#include "caption_engine/audio/pulse_sources.h"

namespace quorvel {

namespace {

constexpr int kAuthorized = 3;

// On Linux every process may record from the sound server, so the answer is always
// "authorized". A sandboxed build (a confined package that must ask a permission portal) would
// answer from its permission store here instead.
int linuxMicAuthorization() { return kAuthorized; }

CaptionAudioError audioFailure(const std::string& message,
                               CaptionAudioError::Context context = {}) {
  return CaptionAudioError(message, std::move(context));
}

}  // namespace

PulseCaptureAudio::PulseCaptureAudio() : PulseCaptureAudio(linuxMicAuthorization) {}

PulseCaptureAudio::PulseCaptureAudio(MicAuthorization micAuthorization)
    : micAuthorization_(std::move(micAuthorization)) {}

std::vector<CaptionAudioInput> PulseCaptureAudio::listInputs() {
  const PulseSourceList list = quorvelAudioInputDevices();
  std::vector<CaptionAudioInput> inputs;
  for (const PulseSource& s : list.sources) {
    // A built-in microphone keeps the server's name for it: the family word would call it a
    // Mac's, which this machine is not.
    std::string label = s.kind == CaptionAudioInputKind::builtIn
                            ? s.description
                            : CaptionInputNaming::label(s.kind, s.description,
                                                        CaptionHostFamilies::current);
    std::optional<std::string> note = s.isMonitor ? std::optional<std::string>(kMonitorNote)
                                                  : CaptionInputNaming::note(s.kind);
    inputs.push_back(CaptionAudioInput{
        s.name, std::move(label),
        !list.defaultSourceName.empty() && s.name == list.defaultSourceName, s.kind,
        std::move(note)});
  }
  return inputs;
}

void PulseCaptureAudio::requireMicPermission() const {
  const int status = micAuthorization_ ? micAuthorization_() : kAuthorized;
  if (status == kAuthorized) return;
  throw audioFailure("microphone access is not granted to the helper (" + std::to_string(status) +
                         ") \u2014 grant Microphone in System Settings \u203A Privacy & Security",
                     {{"reason", "mic_permission"}});
}

std::shared_ptr<CaptionAudioProducer> PulseCaptureAudio::makeProducer(
    const CaptionAudioSource& source) {
  if (const auto* file = source.asFile()) {
    return std::make_shared<FileAudioProducer>(file->path, file->paced);
  }
  requireMicPermission();
  const PulseSourceList list = quorvelAudioInputDevices();

  if (source.isSystemDefault()) {
    for (const PulseSource& s : list.sources) {
      if (!list.defaultSourceName.empty() && s.name == list.defaultSourceName) {
        return std::make_shared<PulseCaptureProducer>(s, CaptionInputFollower::Mode::systemDefault);
      }
    }
    throw audioFailure("this Mac has no default audio input");
  }

  const std::string& uniqueID = source.asDevice()->uniqueID;
  for (const PulseSource& s : list.sources) {
    if (s.name == uniqueID) return std::make_shared<PulseCaptureProducer>(s);
  }
  std::string message = "audio input " + uniqueID + " is not connected";
  if (list.sources.empty()) {
    message += " (no audio inputs at all)";
  } else {
    std::string entries;
    for (const PulseSource& s : list.sources) {
      if (!entries.empty()) entries += ", ";
      entries += s.description + " [" + s.name + "]";
    }
    message += " (available: " + entries + ")";
  }
  throw audioFailure(message, {{"uniqueID", uniqueID}});
}

}  // namespace quorvel
