#include "caption_engine/runtime/caption_engine_core.h"

#include <utility>

#include "caption_engine/audio/no_caption_audio.h"
#include "caption_engine/runtime/caption_runtime.h"

namespace quorvel {

std::optional<std::string> CaptionEngineCore::unsupportedReason() {
  // The speech service needs no particular OS version here: the gate always passes, and whether
  // captions exist depends only on the build having a recognizer.
  return std::nullopt;
}

CaptionEngineCore::CaptionEngineCore(CaptionRuntimeEvents events)
    : CaptionEngineCore(std::move(events), makeSystemAudioPlatform(), makeDefaultSpeechService()) {}

CaptionEngineCore::CaptionEngineCore(CaptionRuntimeEvents events,
                                     std::shared_ptr<CaptionAudioPlatform> platform,
                                     std::shared_ptr<speech::SpeechService> service)
    : events_(std::move(events)),
      platform_(platform ? std::move(platform) : std::make_shared<NoCaptionAudio>()) {
  if (service && !unsupportedReason()) runtime_ = CaptionRuntime::make(events_, platform_, service);
}

CaptionEngineCore::~CaptionEngineCore() = default;

std::string CaptionEngineCore::unavailabilityReason() const {
  if (auto reason = unsupportedReason()) return *reason;
  return buildUnsupportedReason;
}

CaptionRuntimeFailure CaptionEngineCore::unsupportedFailure() const {
  return CaptionRuntimeFailure(CaptionRuntimeErrorCode::captionsUnsupported, unavailabilityReason(),
                               std::nullopt, CaptionState::unsupported, false);
}

CaptionRuntimeCapabilities CaptionEngineCore::capabilities(int64_t waitMs) {
  if (runtime_ && !unsupportedReason()) return runtime_->capabilities(waitMs);
  return CaptionRuntimeCapabilities{false, unavailabilityReason(), {}, {}, {}};
}

CaptionRuntimeCapabilities CaptionEngineCore::capabilities() {
  if (runtime_ && !unsupportedReason()) return runtime_->capabilities();
  return CaptionRuntimeCapabilities{false, unavailabilityReason(), {}, {}, {}};
}

void CaptionEngineCore::start(const CaptionsStartRequest& request,
                              Completion<CaptionRuntimeStartResult> completion) {
  if (runtime_ && !unsupportedReason()) return runtime_->start(request, std::move(completion));
  const std::string reason = unavailabilityReason();
  events_.raiseState(CaptionState::unsupported, request.sessionId, reason, std::nullopt);
  completion(CaptionRuntimeOutcome<CaptionRuntimeStartResult>::failed(unsupportedFailure()));
}

void CaptionEngineCore::stop(std::optional<std::string> sessionId,
                             Completion<CaptionRuntimeStopResult> completion) {
  if (runtime_ && !unsupportedReason())
    return runtime_->stop(std::move(sessionId), std::move(completion));
  completion(CaptionRuntimeOutcome<CaptionRuntimeStopResult>::failed(unsupportedFailure()));
}

void CaptionEngineCore::setContext(std::string sessionId, std::vector<std::string> terms,
                                   Completion<CaptionRuntimeVoid> completion) {
  if (runtime_ && !unsupportedReason()) {
    return runtime_->setContext(std::move(sessionId), std::move(terms), std::move(completion));
  }
  completion(CaptionRuntimeOutcome<CaptionRuntimeVoid>::failed(unsupportedFailure()));
}

void CaptionEngineCore::installLocale(std::string locale, Completion<bool> completion) {
  if (runtime_ && !unsupportedReason())
    return runtime_->installLocale(std::move(locale), std::move(completion));
  const std::string reason = unavailabilityReason();
  events_.raiseAssetProgress(locale, 0.0, true, reason);
  completion(CaptionRuntimeOutcome<bool>::failed(unsupportedFailure()));
}

void CaptionEngineCore::reserveLocale(std::string locale, std::function<void(bool)> completion) {
  if (runtime_ && !unsupportedReason())
    return runtime_->reserveLocale(std::move(locale), std::move(completion));
  completion(false);
}

CaptionRuntimeStatus CaptionEngineCore::status() {
  if (runtime_ && !unsupportedReason()) return runtime_->status();
  CaptionRuntimeStatus s;
  s.state = CaptionState::unsupported;
  s.nowMs = captionNowMs();
  return s;
}

std::vector<CaptionAudioInput> CaptionEngineCore::audioInputs() { return platform_->listInputs(); }

}  // namespace quorvel
