#include "caption_engine/api/caption_engine.h"

#include "caption_engine/api/apple_caption_engine.h"

namespace quorvel {

bool CaptionEngine::installLocale(const std::string&) {
  throw CaptionEngineError(CaptionEngineErrorCode::unsupported,
                           "this engine cannot install speech models", false);
}

bool CaptionEngine::reserveLocale(const std::string&) { return false; }

void CaptionEngine::setLevelReadingObserver(CaptionLevelReadingObserver) {}

std::unique_ptr<CaptionEngine> CaptionEngines::makeDefault() {
  return std::make_unique<AppleCaptionEngine>();
}

}  // namespace quorvel
