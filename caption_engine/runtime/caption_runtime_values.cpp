#include "caption_engine/runtime/caption_runtime_values.h"

#include <chrono>
#include <cmath>

namespace quorvel {

namespace {
Json optionalString(const std::optional<std::string>& s) { return s ? Json(*s) : Json(nullptr); }
}  // namespace

int64_t CaptionStatusMapping::seconds(std::optional<int64_t> startedAtMs,
                                      std::optional<int64_t> endedAtMs, int64_t nowMs) {
  if (!startedAtMs) return 0;
  const int64_t end = endedAtMs.value_or(nowMs);
  const int64_t elapsed = end - *startedAtMs;
  const double whole = std::floor(static_cast<double>(elapsed) / 1000.0);
  return whole < 0 ? 0 : static_cast<int64_t>(whole);
}

Json CaptionStatusMapping::ack(CaptionState state, const std::optional<std::string>& sessionId,
                               const std::optional<std::string>& locale,
                               std::optional<int64_t> startedAtMs, std::optional<int64_t> endedAtMs,
                               std::optional<int64_t> lastSpeechAtMs, std::optional<double> levelDb,
                               int64_t nowMs) {
  Json d = Json::object();
  d["state"] = std::string(rawValue(state));
  d["sessionId"] = optionalString(sessionId);
  d["locale"] = optionalString(locale);
  d["seconds"] = seconds(startedAtMs, endedAtMs, nowMs);
  d["lastSpeechAtMs"] = lastSpeechAtMs ? Json(*lastSpeechAtMs) : Json(nullptr);
  d["levelDb"] = levelDb ? Json(*levelDb) : Json(nullptr);
  return d;
}

Json CaptionRuntimeStatus::ack() const {
  return CaptionStatusMapping::ack(state, sessionId, locale, startedAtMs, endedAtMs, lastSpeechAtMs,
                                   levelDb, nowMs);
}

Json CaptionRuntimeCapabilities::block() const {
  Json d = Json::object();
  d["supported"] = supported;
  d["reason"] = optionalString(reason);
  d["installedLocales"] = installedLocales;
  d["supportedLocales"] = supportedLocales;
  return d;
}

CaptionRuntimeEvents CaptionRuntimeEvents::silent() {
  CaptionRuntimeEvents e;
  e.state = [](CaptionState, const std::optional<std::string>&, const std::optional<std::string>&,
               std::optional<double>) {};
  e.level = [](const std::string&, double) {};
  e.assetProgress = [](const std::string&, double, bool, const std::optional<std::string>&) {};
  e.segment = [](const std::string&, const CaptionEmission&, const std::string&) {};
  e.log = [](const std::string&) {};
  e.uiLevel = [](const std::string&, const CaptionLevelReading&) {};
  e.sourceEnded = [](const std::string&, int64_t) {};
  return e;
}

int64_t captionNowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace quorvel
