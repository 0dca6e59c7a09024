// The rules that turn the runtime's values into the engine interface's values: the error code
// mapping, the failure translation and the event, status and
// capability records. Pure functions; used by AppleCaptionEngine.
#pragma once

#include <string>

#include "caption_engine/api/caption_engine_values.h"
#include "caption_engine/logic/caption_emission.h"
#include "caption_engine/runtime/caption_runtime_failure.h"
#include "caption_engine/runtime/caption_runtime_values.h"

namespace quorvel {

// The engine error code of a runtime failure code: badRequest, internal and captionsStartFailed
// are startFailed (as is unsupportedOp, which the runtime never gives); the three others keep
// their meaning.
constexpr CaptionEngineErrorCode engineCode(CaptionRuntimeErrorCode code) {
  switch (code) {
    case CaptionRuntimeErrorCode::captionsUnsupported:
      return CaptionEngineErrorCode::unsupported;
    case CaptionRuntimeErrorCode::captionsModelMissing:
      return CaptionEngineErrorCode::modelMissing;
    case CaptionRuntimeErrorCode::captionsAudioUnavailable:
      return CaptionEngineErrorCode::audioUnavailable;
    case CaptionRuntimeErrorCode::badRequest:
    case CaptionRuntimeErrorCode::unsupportedOp:
    case CaptionRuntimeErrorCode::internal:
    case CaptionRuntimeErrorCode::captionsStartFailed:
      return CaptionEngineErrorCode::startFailed;
  }
  return CaptionEngineErrorCode::startFailed;
}

namespace CaptionEngineTranslation {

// Code mapped, message and retriable copied; the failure's state and context are dropped.
CaptionEngineError error(const CaptionRuntimeFailure& failure);
// Kind final for the emission kind "final", volatile for any other text; the words are copied.
CaptionSegmentEvent segment(const std::string& sessionId, const CaptionEmission& emission,
                            const std::string& locale);
// Seconds by the status mapping from the snapshot's start, end and current times.
CaptionEngineStatus status(const CaptionRuntimeStatus& status);
CaptionEngineCapabilities capabilities(const CaptionRuntimeCapabilities& capabilities);

}  // namespace CaptionEngineTranslation
}  // namespace quorvel
