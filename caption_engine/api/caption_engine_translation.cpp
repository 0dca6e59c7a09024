#include "caption_engine/api/caption_engine_translation.h"

#include <cmath>

namespace quorvel::CaptionEngineTranslation {

CaptionEngineError error(const CaptionRuntimeFailure& failure) {
  return CaptionEngineError(engineCode(failure.code), failure.message, failure.retriable);
}

double clampedFraction(double fraction) {
  if (!std::isfinite(fraction)) return 0.0;
  if (fraction < 0.0) return 0.0;
  if (fraction > 1.0) return 1.0;
  return fraction;
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
  return CaptionEngineCapabilities{CaptionEngineKind::apple, c.supported, c.reason,
                                   c.installedLocales, c.supportedLocales};
}

}  // namespace quorvel::CaptionEngineTranslation
