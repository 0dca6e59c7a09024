#include "caption_engine/api/caption_engine_values.h"

#include <memory>
#include <utility>

namespace quorvel {

CaptionEngineError::CaptionEngineError(CaptionEngineErrorCode code, std::string message,
                                       bool retriable)
    : code_(code), message_(std::move(message)), retriable_(retriable) {
  description_.append(rawValue(code_)).append(": ").append(message_);
}

const char* CaptionEngineError::what() const noexcept { return description_.c_str(); }

CaptionEngineObservers::CaptionEngineObservers(SegmentCallback onSegment, StateCallback onState,
                                               LevelCallback onLevel,
                                               AssetProgressCallback onAssetProgress,
                                               LogCallback onLog)
    : onSegment(std::move(onSegment)),
      onState(std::move(onState)),
      onLevel(std::move(onLevel)),
      onAssetProgress(std::move(onAssetProgress)),
      onLog(std::move(onLog)) {}

CaptionEngineObservers::CaptionEngineObservers(EventCallback onEvent) {
  if (!onEvent) return;
  // One shared copy of the host's callback behind all five.
  auto sink = std::make_shared<EventCallback>(std::move(onEvent));
  onSegment = [sink](const CaptionSegmentEvent& e) { (*sink)(CaptionEngineEvent::segment(e)); };
  onState = [sink](const CaptionStateEvent& e) { (*sink)(CaptionEngineEvent::state(e)); };
  onLevel = [sink](const CaptionLevelEvent& e) { (*sink)(CaptionEngineEvent::level(e)); };
  onAssetProgress = [sink](const CaptionAssetProgressEvent& e) {
    (*sink)(CaptionEngineEvent::assetProgress(e));
  };
  onLog = [sink](const std::string& line) { (*sink)(CaptionEngineEvent::log(line)); };
}

}  // namespace quorvel
