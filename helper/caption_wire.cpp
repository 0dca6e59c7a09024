#include "helper/caption_wire.h"

#include "helper/wire.h"

namespace quorvel::helper::CaptionWire {

Json startAck(const CaptionRuntimeStartResult& result) {
  Json d = Json::object();
  d["state"] = "running";
  d["locale"] = result.locale;
  d["startedAtMs"] = result.startedAtMs;
  return d;
}

Json inputs(const std::vector<CaptionAudioInput>& list) {
  Json a = Json::array();
  for (const auto& input : list) {
    Json d = Json::object();
    d["id"] = input.id;
    d["label"] = input.label;
    d["isDefault"] = input.isDefault;
    a.push_back(std::move(d));
  }
  return a;
}

namespace {
Json optionalString(const std::optional<std::string>& s) { return s ? Json(*s) : Json(nullptr); }
}  // namespace

Json status(const CaptionRuntimeStatus& s) {
  Json d = Json::object();
  d["state"] = std::string(rawValue(s.state));
  d["sessionId"] = optionalString(s.sessionId);
  d["locale"] = optionalString(s.locale);
  d["seconds"] = CaptionStatusMapping::seconds(s.startedAtMs, s.endedAtMs, s.nowMs);
  d["lastSpeechAtMs"] = s.lastSpeechAtMs ? Json(*s.lastSpeechAtMs) : Json(nullptr);
  d["levelDb"] = s.levelDb ? Json(*s.levelDb) : Json(nullptr);
  return d;
}

Json capabilities(const CaptionRuntimeCapabilities& c) {
  Json d = Json::object();
  d["supported"] = c.supported;
  d["reason"] = optionalString(c.reason);
  d["installedLocales"] = c.installedLocales;
  d["supportedLocales"] = c.supportedLocales;
  return d;
}

Json stateData(CaptionState state, const std::optional<std::string>& sessionId,
               const std::optional<std::string>& reason, std::optional<double> levelDb) {
  Json d = Json::object();
  d["sessionId"] = optionalString(sessionId);
  d["state"] = rawValue(state);
  if (reason) d["reason"] = *reason;
  if (levelDb) d["levelDb"] = *levelDb;
  return d;
}

Json levelData(const std::string& sessionId, double levelDb) {
  Json d = Json::object();
  d["sessionId"] = sessionId;
  d["levelDb"] = levelDb;
  return d;
}

Json assetProgressData(const std::string& locale, double fraction, bool done,
                       const std::optional<std::string>& error) {
  Json d = Json::object();
  d["locale"] = locale;
  d["fraction"] = fraction;
  d["done"] = done;
  if (error) d["error"] = *error;
  return d;
}

Json segmentData(const std::string& sessionId, const CaptionEmission& emission,
                 const std::string& locale) {
  Json d = Json::object();
  d["sessionId"] = sessionId;
  d["seq"] = emission.seq;
  d["kind"] = emission.kind;
  d["tStartMs"] = emission.tStartMs;
  d["tEndMs"] = emission.tEndMs;
  d["text"] = emission.text;
  d["locale"] = locale;
  return d;
}

Json sourceEndedData(const std::string& sessionId, int64_t audioMs) {
  Json d = Json::object();
  d["sessionId"] = sessionId;
  d["audioMs"] = audioMs;
  return d;
}

CaptionRuntimeEvents events() {
  CaptionRuntimeEvents e = CaptionRuntimeEvents::silent();
  e.state = [](CaptionState state, const std::optional<std::string>& sessionId,
               const std::optional<std::string>& reason, std::optional<double> levelDb) {
    Wire::event("captionState", stateData(state, sessionId, reason, levelDb));
  };
  e.level = [](const std::string& sessionId, double levelDb) {
    Wire::event("captionLevel", levelData(sessionId, levelDb));
  };
  e.assetProgress = [](const std::string& locale, double fraction, bool done,
                       const std::optional<std::string>& error) {
    Wire::event("captionAssetProgress", assetProgressData(locale, fraction, done, error));
  };
  e.segment = [](const std::string& sessionId, const CaptionEmission& emission,
                 const std::string& locale) {
    Wire::event("captionSegment", segmentData(sessionId, emission, locale));
  };
  e.log = [](const std::string& message) { Wire::log(message); };
  e.sourceEnded = [](const std::string& sessionId, int64_t audioMs) {
    Wire::event("captionSourceEnded", sourceEndedData(sessionId, audioMs));
  };
  return e;
}

}  // namespace quorvel::helper::CaptionWire
