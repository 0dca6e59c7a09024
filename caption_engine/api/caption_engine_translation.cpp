#include "caption_engine/api/caption_engine_translation.h"

#include <cmath>

namespace quorvel::CaptionEngineTranslation {

CaptionEngineError error(const CaptionRuntimeFailure& failure) {
  return CaptionEngineError(engineCode(failure.code), failure.message, failure.retriable);
}

CaptionSegmentEvent segment(const std::string& sessionId, const CaptionEmission& emission,
                            const std::string& locale) {
  return CaptionSegmentEvent{sessionId,
                             emission.seq,
                             emission.kind == "final" ? CaptionSegmentEvent::Kind::final
                                                      : CaptionSegmentEvent::Kind::volatile_,
                             emission.tStartMs,
                             emission.tEndMs,
                             emission.text,
                             locale,
                             emission.words};
}

CaptionEngineStatus status(const CaptionRuntimeStatus& s) {
  CaptionEngineStatus out;
  out.state = s.state;
  out.sessionId = s.sessionId;
  out.locale = s.locale;
  out.seconds =
      static_cast<double>(CaptionStatusMapping::seconds(s.startedAtMs, s.endedAtMs, s.nowMs));
  if (s.lastSpeechAtMs) out.lastSpeechAtMs = static_cast<double>(*s.lastSpeechAtMs);
  out.levelDb = s.levelDb;
  return out;
}

CaptionEngineCapabilities capabilities(const CaptionRuntimeCapabilities& c) {
  // The neural engine answers where one of the installed locales runs on it.
  const CaptionEngineKind kind =
      c.neuralLocales.empty() ? CaptionEngineKind::apple : CaptionEngineKind::sherpa;
  return CaptionEngineCapabilities{kind, c.supported, c.reason, c.installedLocales,
                                   c.supportedLocales};
}

}  // namespace quorvel::CaptionEngineTranslation
