// The analyzer of the neural recognizer: one sherpa-onnx streaming recognizer and stream, fed
// synchronously by the session's thread.
//
// While an utterance is heard, a changed partial result becomes a volatile result (throttled to
// one per 250 ms of audio unless the transcriber asks for fast results) covering the utterance
// from its first token to the audio fed so far. The recognizer's endpoints close utterances: a
// final about 0.6 s after speech ends, and a forced one after 15 s of continuous speech; the
// final spans its first to its last word. Times are seconds of the analyzer's own timeline,
// counted from the first sample fed (the recognizer's own times restart at every endpoint).
//
// Terms: on a model that takes hotwords (see SherpaModel::takesHotwords) they become the stream's
// hotwords from the next utterance on (at once when nothing is being heard); otherwise they are
// accepted, contextNote() says they are ignored, and they still set the spelling of the text.
//
// Threads: every operation may be called from any thread; one lock serialises them.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "caption_engine/runtime/sherpa/sherpa_library.h"
#include "caption_engine/runtime/sherpa/sherpa_model.h"
#include "caption_engine/runtime/speech_analyzer_input.h"
#include "caption_engine/runtime/speech_service.h"
#include "caption_engine/runtime/sphinx/volatile_throttle.h"

namespace quorvel::speech {

// Endpoint rules, in seconds.
struct SherpaEndpointRules {
  float silenceOnly = 2.4f;     // trailing silence that ends a stretch holding no speech
  float afterSpeech = 0.6f;     // trailing silence after speech that ends an utterance
  float longestSpeech = 15.0f;  // an utterance this long ends whatever is heard
};

class SherpaAnalyzer : public SpeechAnalyzer {
 public:
  static constexpr double kVolatileSpacingSeconds = 0.25;
  static constexpr int kSampleRate = 16000;

  // Creates the recognizer; throws SpeechServiceError when it cannot (the model must have passed
  // inspectSherpaModel: the recognizer ends the process on models that fail it).
  SherpaAnalyzer(const SherpaLibrary& library, SherpaModel model, std::string locale,
                 TranscriberOptions options, SherpaEndpointRules rules = {});
  ~SherpaAnalyzer() override;

  void setContext(const std::vector<std::string>& terms) override;
  std::optional<std::string> contextNote() override;
  std::optional<AudioFormat> bestAvailableAudioFormat() override;
  void start() override;
  std::vector<SpeechResult> analyze(const PcmBuffer& buffer) override;
  std::vector<SpeechResult> endUtterance() override;
  std::vector<SpeechResult> finish() override;

 private:
  struct Snapshot {
    std::vector<std::string> tokens;
    std::vector<float> times;
    double segmentStart = 0;  // seconds of our timeline where the recognizer's segment began
    bool empty() const;
  };

  // Each of these runs with mutex_ held.
  void openStream();
  void decodeReady();
  Snapshot snapshot();
  std::vector<SpeechResult> feed(const float* samples, size_t count);
  std::vector<SpeechResult> closeUtterance(bool atEnd);
  std::optional<SpeechResult> makeResult(const Snapshot& s, bool isFinal) const;
  double fedSeconds() const;

  const SherpaLibrary& lib_;
  const SherpaModel model_;
  const std::string locale_;
  const TranscriberOptions options_;
  // The config's strings point into these.
  std::string tokensPath_, encoderPath_, decoderPath_, joinerPath_, modelPath_, bpePath_;
  const sherpa_api::OnlineRecognizer* recognizer_ = nullptr;

  std::mutex mutex_;
  // Guarded by mutex_:
  const sherpa_api::OnlineStream* stream_ = nullptr;
  VolatileThrottle throttle_;
  SpeechAnalyzerInput input_;
  int64_t samplesFed_ = 0;
  int64_t streamStartSample_ = 0;  // where the current stream's audio begins
  std::string lastVolatileText_;
  std::vector<std::string> terms_;              // for the spelling of the text
  std::optional<std::string> pendingHotwords_;  // for the next stream
  std::optional<std::string> note_;
  std::vector<float> scratch_;
};

// The hotwords text for terms: one a line, in the model's letter case, with characters that the
// hotwords syntax gives a meaning (":", "#", "/") and other punctuation left out.
std::string sherpaHotwords(const std::vector<std::string>& terms, bool upperCase);

}  // namespace quorvel::speech
