#include "caption_engine/api/placeholder_caption_engine.h"

#include <utility>

namespace quorvel {

void PlaceholderCaptionEngine::setObservers(CaptionEngineObservers observers) {
  std::lock_guard guard(lock_);
  observers_ = std::move(observers);
}

CaptionEngineCapabilities PlaceholderCaptionEngine::capabilities() {
  return CaptionEngineCapabilities{CaptionEngineKind::apple, false, std::string(reason), {}, {}};
}

CaptionEngineStartAck PlaceholderCaptionEngine::start(const CaptionEngineStartArgs& args) {
  CaptionEngineObservers::StateCallback onState;
  {
    std::lock_guard guard(lock_);
    onState = observers_.onState;
  }
  if (onState) {
    onState(CaptionStateEvent{args.sessionId, CaptionState::unsupported, std::string(reason),
                              std::nullopt});
  }
  throw CaptionEngineError(CaptionEngineErrorCode::unsupported, reason, false);
}

CaptionEngineStopAck PlaceholderCaptionEngine::stop(const std::optional<std::string>&) {
  return CaptionEngineStopAck::nothing;
}

void PlaceholderCaptionEngine::setTerms(const std::string&, const std::vector<std::string>&) {}

CaptionEngineStatus PlaceholderCaptionEngine::status() {
  return CaptionEngineStatus{
      CaptionState::unsupported, std::nullopt, std::nullopt, 0.0, std::nullopt, std::nullopt};
}

std::vector<CaptionAudioInput> PlaceholderCaptionEngine::listInputs() { return {}; }

void PlaceholderCaptionEngine::dispose() {}

}  // namespace quorvel
