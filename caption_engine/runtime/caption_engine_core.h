// The engine's front door. It owns the audio platform and, when the build has a recognizer, the
// one runtime; every operation forwards to the runtime when there is one and otherwise answers at
// once that captions are unavailable, with the reason text.
//
// Threads: no lock and no mutable state after construction, so any thread may call it. Answers
// for an absent runtime (the notice, then the completion) run synchronously on the caller's
// thread; forwarded calls keep the runtime's threading.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "caption_engine/audio/caption_audio_platform.h"
#include "caption_engine/logic/caption_start_request.h"
#include "caption_engine/runtime/caption_runtime_failure.h"
#include "caption_engine/runtime/caption_runtime_values.h"
#include "caption_engine/runtime/speech_service.h"

namespace quorvel {

class CaptionRuntime;

class CaptionEngineCore {
 public:
  template <class T>
  using Completion = std::function<void(CaptionRuntimeOutcome<T>)>;

  static constexpr const char* osUnsupportedReason =
      "Live captions unavailable: SpeechAnalyzer requires macOS 26 (this OS is older).";
  static constexpr const char* buildUnsupportedReason =
      "Live captions unavailable: this build lacks the macOS 26 SpeechAnalyzer API (built without "
      "-D SPEECHANALYZER_AVAILABLE).";
  static constexpr const char* hardwareUnsupportedReason =
      "Live captions unavailable: SpeechTranscriber is not available on this hardware.";

  // Absent when the availability gate passes (it always does on this platform).
  static std::optional<std::string> unsupportedReason();

  // The system's audio platform and, in a build with a recognizer, the runtime on the default
  // speech service.
  explicit CaptionEngineCore(CaptionRuntimeEvents events);
  // For tests and embedders: an explicit platform, and a speech service (nullptr: no runtime).
  CaptionEngineCore(CaptionRuntimeEvents events, std::shared_ptr<CaptionAudioPlatform> platform,
                    std::shared_ptr<speech::SpeechService> service);
  ~CaptionEngineCore();

  CaptionRuntimeCapabilities capabilities(int64_t waitMs);
  CaptionRuntimeCapabilities capabilities();

  void start(const CaptionsStartRequest& request, Completion<CaptionRuntimeStartResult> completion);
  void stop(std::optional<std::string> sessionId, Completion<CaptionRuntimeStopResult> completion);
  void setContext(std::string sessionId, std::vector<std::string> terms,
                  Completion<CaptionRuntimeVoid> completion);
  void installLocale(std::string locale, Completion<bool> completion);
  void reserveLocale(std::string locale, std::function<void(bool)> completion);

  CaptionRuntimeStatus status();
  std::vector<CaptionAudioInput> audioInputs();

  bool hasRuntime() const { return runtime_ != nullptr; }

 private:
  CaptionRuntimeFailure unsupportedFailure() const;
  std::string unavailabilityReason() const;

  CaptionRuntimeEvents events_;
  std::shared_ptr<CaptionAudioPlatform> platform_;
  std::shared_ptr<CaptionRuntime> runtime_;
};

// The speech service of this build, or nullptr when it was built without a recognizer.
std::shared_ptr<speech::SpeechService> makeDefaultSpeechService();

}  // namespace quorvel
