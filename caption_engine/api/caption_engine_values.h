// The plain values of the embeddable engine interface: the engine kind, the error and its codes,
// start arguments, the acknowledgements of start and stop, status and capability snapshots, the
// events with the union that wraps them, and the observer callbacks through which events reach
// the host. All are values that may be copied freely between threads. Every value but the
// observers has equality and a std::hash over exactly the fields equality compares.
//
// The enumerations with text raw values (and CaptionState) offer rawValue()/...FromRaw(); their
// JSON form (a single string holding the raw value) is in caption_engine_json.h, so that this
// header needs nothing beyond the standard library.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "caption_engine/base/caption_audio_source.h"
#include "caption_engine/base/caption_state.h"
#include "caption_engine/base/caption_value_hash.h"
#include "caption_engine/base/caption_word.h"

namespace quorvel {

// Which engine implementation answers.
enum class CaptionEngineKind { apple, sherpa };

inline constexpr std::array<CaptionEngineKind, 2> allCaptionEngineKinds{CaptionEngineKind::apple,
                                                                        CaptionEngineKind::sherpa};

constexpr std::string_view rawValue(CaptionEngineKind kind) {
  switch (kind) {
    case CaptionEngineKind::apple:
      return "apple";
    case CaptionEngineKind::sherpa:
      return "sherpa";
  }
  return "apple";
}

constexpr std::optional<CaptionEngineKind> captionEngineKindFromRaw(std::string_view raw) {
  for (auto k : allCaptionEngineKinds) {
    if (rawValue(k) == raw) return k;
  }
  return std::nullopt;
}

// The class of an engine failure.
enum class CaptionEngineErrorCode { unsupported, modelMissing, audioUnavailable, startFailed };

inline constexpr std::array<CaptionEngineErrorCode, 4> allCaptionEngineErrorCodes{
    CaptionEngineErrorCode::unsupported, CaptionEngineErrorCode::modelMissing,
    CaptionEngineErrorCode::audioUnavailable, CaptionEngineErrorCode::startFailed};

constexpr std::string_view rawValue(CaptionEngineErrorCode code) {
  switch (code) {
    case CaptionEngineErrorCode::unsupported:
      return "CAPTIONS_UNSUPPORTED";
    case CaptionEngineErrorCode::modelMissing:
      return "CAPTIONS_MODEL_MISSING";
    case CaptionEngineErrorCode::audioUnavailable:
      return "CAPTIONS_AUDIO_UNAVAILABLE";
    case CaptionEngineErrorCode::startFailed:
      return "CAPTIONS_START_FAILED";
  }
  return "CAPTIONS_START_FAILED";
}

constexpr std::optional<CaptionEngineErrorCode> captionEngineErrorCodeFromRaw(
    std::string_view raw) {
  for (auto c : allCaptionEngineErrorCodes) {
    if (rawValue(c) == raw) return c;
  }
  return std::nullopt;
}

// The one error that engine operations throw. Its description (and what()) is the code's raw
// value, ": " and the message; it does not mention retriable.
class CaptionEngineError : public std::exception {
 public:
  CaptionEngineError(CaptionEngineErrorCode code, std::string message, bool retriable);

  CaptionEngineErrorCode code() const noexcept { return code_; }
  const std::string& message() const noexcept { return message_; }
  bool retriable() const noexcept { return retriable_; }

  const std::string& description() const noexcept { return description_; }
  const char* what() const noexcept override;

  bool operator==(const CaptionEngineError& o) const {
    return code_ == o.code_ && message_ == o.message_ && retriable_ == o.retriable_;
  }

 private:
  CaptionEngineErrorCode code_;
  std::string message_;
  bool retriable_;
  std::string description_;
};

// What a host passes to start a session.
struct CaptionEngineStartArgs {
  std::string sessionId;
  std::string locale;
  CaptionAudioSource source = CaptionAudioSource::systemDefault();
  bool fast = true;
  std::vector<std::string> terms;
  bool profanityFilter = false;
  bool installIfMissing = false;

  bool operator==(const CaptionEngineStartArgs&) const = default;
};

// The result of a successful start: the locale the session runs in and its start time in
// milliseconds since the Unix epoch (a whole number).
struct CaptionEngineStartAck {
  std::string locale;
  double startedAtMs = 0.0;

  bool operator==(const CaptionEngineStartAck&) const = default;
};

// The result of a stop: final segments emitted and the session's whole seconds.
struct CaptionEngineStopAck {
  int64_t finals = 0;
  double seconds = 0.0;

  // finals 0, seconds 0.0: what a stop that found nothing to stop answers.
  static const CaptionEngineStopAck nothing;

  bool operator==(const CaptionEngineStopAck&) const = default;
};

inline const CaptionEngineStopAck CaptionEngineStopAck::nothing{0, 0.0};

// A status snapshot.
struct CaptionEngineStatus {
  CaptionState state = CaptionState::idle;
  std::optional<std::string> sessionId;
  std::optional<std::string> locale;
  double seconds = 0.0;
  std::optional<double> lastSpeechAtMs;
  std::optional<double> levelDb;

  bool operator==(const CaptionEngineStatus&) const = default;
};

// What the engine offers on this machine.
struct CaptionEngineCapabilities {
  CaptionEngineKind kind = CaptionEngineKind::apple;
  bool supported = false;
  std::optional<std::string> reason;
  std::vector<std::string> installedLocales;
  std::vector<std::string> supportedLocales;

  bool operator==(const CaptionEngineCapabilities&) const = default;
};

// One caption segment: numbered within its session, final or volatile, with its range in
// milliseconds of session audio time. A final carries its words with their times when the
// recognizer gives them (in order, inside the segment's range); otherwise words is empty.
struct CaptionSegmentEvent {
  // Raw values "final" and "volatile" (the case carries a trailing underscore because volatile is
  // a keyword).
  enum class Kind { final, volatile_ };

  std::string sessionId;
  int64_t seq = 0;
  Kind kind = Kind::volatile_;
  int64_t tStartMs = 0;
  int64_t tEndMs = 0;
  std::string text;
  std::string locale;
  std::vector<CaptionWord> words{};

  bool operator==(const CaptionSegmentEvent&) const = default;
};

inline constexpr std::array<CaptionSegmentEvent::Kind, 2> allCaptionSegmentEventKinds{
    CaptionSegmentEvent::Kind::final, CaptionSegmentEvent::Kind::volatile_};

constexpr std::string_view rawValue(CaptionSegmentEvent::Kind kind) {
  return kind == CaptionSegmentEvent::Kind::final ? "final" : "volatile";
}

constexpr std::optional<CaptionSegmentEvent::Kind> captionSegmentEventKindFromRaw(
    std::string_view raw) {
  for (auto k : allCaptionSegmentEventKinds) {
    if (rawValue(k) == raw) return k;
  }
  return std::nullopt;
}

// A state change of the session.
struct CaptionStateEvent {
  std::optional<std::string> sessionId;
  CaptionState state = CaptionState::idle;
  std::optional<std::string> reason;
  std::optional<double> levelDb;

  bool operator==(const CaptionStateEvent&) const = default;
};

// A periodic input level in dBFS.
struct CaptionLevelEvent {
  std::string sessionId;
  double levelDb = -120.0;

  bool operator==(const CaptionLevelEvent&) const = default;
};

// Progress of a speech model installation; id is the locale identifier, fraction runs 0 to 1.
struct CaptionAssetProgressEvent {
  std::string id;
  double fraction = 0.0;
  bool done = false;
  std::optional<std::string> error;

  bool operator==(const CaptionAssetProgressEvent&) const = default;
};

// A windowed level with the 13 band levels (90 Hz to 7 kHz, low to high) for meters. Readings
// come 24 times for each second of audio the session analyses, so they also tell how far it is.
struct CaptionLevelReadingEvent {
  std::string sessionId;
  double levelDb = -120.0;
  std::vector<double> bandsDb;

  bool operator==(const CaptionLevelReadingEvent&) const = default;
};

// The session's source has no more audio (a file's end): the words heard up to its end have come
// as finals before this. The session goes on until the host stops it.
struct CaptionSourceEndedEvent {
  std::string sessionId;
  int64_t audioMs = 0;  // the audio the source delivered

  bool operator==(const CaptionSourceEndedEvent&) const = default;
};

// Any one event: segment, state, level, asset progress or a log line. Level readings and the end
// of a source are not part of it; they have observers of their own.
class CaptionEngineEvent {
 public:
  enum class Case { segment, state, level, assetProgress, log };

  struct Log {
    std::string line;
    bool operator==(const Log&) const = default;
  };

  static CaptionEngineEvent segment(CaptionSegmentEvent e) { return {std::move(e)}; }
  static CaptionEngineEvent state(CaptionStateEvent e) { return {std::move(e)}; }
  static CaptionEngineEvent level(CaptionLevelEvent e) { return {std::move(e)}; }
  static CaptionEngineEvent assetProgress(CaptionAssetProgressEvent e) { return {std::move(e)}; }
  static CaptionEngineEvent log(std::string line) { return {Log{std::move(line)}}; }

  Case which() const { return static_cast<Case>(value_.index()); }
  const CaptionSegmentEvent* asSegment() const { return std::get_if<CaptionSegmentEvent>(&value_); }
  const CaptionStateEvent* asState() const { return std::get_if<CaptionStateEvent>(&value_); }
  const CaptionLevelEvent* asLevel() const { return std::get_if<CaptionLevelEvent>(&value_); }
  const CaptionAssetProgressEvent* asAssetProgress() const {
    return std::get_if<CaptionAssetProgressEvent>(&value_);
  }
  const std::string* asLog() const {
    const Log* l = std::get_if<Log>(&value_);
    return l ? &l->line : nullptr;
  }

  bool operator==(const CaptionEngineEvent&) const = default;

 private:
  using Value = std::variant<CaptionSegmentEvent, CaptionStateEvent, CaptionLevelEvent,
                             CaptionAssetProgressEvent, Log>;
  CaptionEngineEvent(Value v) : value_(std::move(v)) {}
  Value value_;
};

// The host's callbacks. An empty callback means the event is not wanted. An engine may call them
// from any thread, also from several threads at once, and never while it holds a lock of its own:
// a callback may call back into the engine, but must not wait for an operation that needs the
// thread it runs on (call stop from another thread, not from inside onLog).
struct CaptionEngineObservers {
  using SegmentCallback = std::function<void(const CaptionSegmentEvent&)>;
  using StateCallback = std::function<void(const CaptionStateEvent&)>;
  using LevelCallback = std::function<void(const CaptionLevelEvent&)>;
  using AssetProgressCallback = std::function<void(const CaptionAssetProgressEvent&)>;
  using LogCallback = std::function<void(const std::string&)>;
  using SourceEndedCallback = std::function<void(const CaptionSourceEndedEvent&)>;
  using EventCallback = std::function<void(const CaptionEngineEvent&)>;

  CaptionEngineObservers() = default;
  CaptionEngineObservers(SegmentCallback onSegment, StateCallback onState, LevelCallback onLevel,
                         AssetProgressCallback onAssetProgress, LogCallback onLog);
  // All five callbacks, each wrapping its event in the matching case of CaptionEngineEvent.
  explicit CaptionEngineObservers(EventCallback onEvent);

  SegmentCallback onSegment;
  StateCallback onState;
  LevelCallback onLevel;
  AssetProgressCallback onAssetProgress;
  LogCallback onLog;
  // Not one of the five: absent unless set.
  SourceEndedCallback onSourceEnded;
};

using CaptionLevelReadingObserver = std::function<void(const CaptionLevelReadingEvent&)>;

}  // namespace quorvel

namespace std {

template <>
struct hash<quorvel::CaptionEngineError> {
  size_t operator()(const quorvel::CaptionEngineError& e) const noexcept {
    return quorvel::hashing::hashFields(e.code(), e.message(), e.retriable());
  }
};

template <>
struct hash<quorvel::CaptionEngineStartArgs> {
  size_t operator()(const quorvel::CaptionEngineStartArgs& a) const noexcept {
    return quorvel::hashing::hashFields(a.sessionId, a.locale, a.source, a.fast, a.terms,
                                        a.profanityFilter, a.installIfMissing);
  }
};

template <>
struct hash<quorvel::CaptionEngineStartAck> {
  size_t operator()(const quorvel::CaptionEngineStartAck& a) const noexcept {
    return quorvel::hashing::hashFields(a.locale, a.startedAtMs);
  }
};

template <>
struct hash<quorvel::CaptionEngineStopAck> {
  size_t operator()(const quorvel::CaptionEngineStopAck& a) const noexcept {
    return quorvel::hashing::hashFields(a.finals, a.seconds);
  }
};

template <>
struct hash<quorvel::CaptionEngineStatus> {
  size_t operator()(const quorvel::CaptionEngineStatus& s) const noexcept {
    return quorvel::hashing::hashFields(s.state, s.sessionId, s.locale, s.seconds, s.lastSpeechAtMs,
                                        s.levelDb);
  }
};

template <>
struct hash<quorvel::CaptionEngineCapabilities> {
  size_t operator()(const quorvel::CaptionEngineCapabilities& c) const noexcept {
    return quorvel::hashing::hashFields(c.kind, c.supported, c.reason, c.installedLocales,
                                        c.supportedLocales);
  }
};

template <>
struct hash<quorvel::CaptionSegmentEvent> {
  size_t operator()(const quorvel::CaptionSegmentEvent& e) const noexcept {
    return quorvel::hashing::hashFields(e.sessionId, e.seq, e.kind, e.tStartMs, e.tEndMs, e.text,
                                        e.locale, e.words);
  }
};

template <>
struct hash<quorvel::CaptionStateEvent> {
  size_t operator()(const quorvel::CaptionStateEvent& e) const noexcept {
    return quorvel::hashing::hashFields(e.sessionId, e.state, e.reason, e.levelDb);
  }
};

template <>
struct hash<quorvel::CaptionLevelEvent> {
  size_t operator()(const quorvel::CaptionLevelEvent& e) const noexcept {
    return quorvel::hashing::hashFields(e.sessionId, e.levelDb);
  }
};

template <>
struct hash<quorvel::CaptionAssetProgressEvent> {
  size_t operator()(const quorvel::CaptionAssetProgressEvent& e) const noexcept {
    return quorvel::hashing::hashFields(e.id, e.fraction, e.done, e.error);
  }
};

template <>
struct hash<quorvel::CaptionSourceEndedEvent> {
  size_t operator()(const quorvel::CaptionSourceEndedEvent& e) const noexcept {
    return quorvel::hashing::hashFields(e.sessionId, e.audioMs);
  }
};

template <>
struct hash<quorvel::CaptionLevelReadingEvent> {
  size_t operator()(const quorvel::CaptionLevelReadingEvent& e) const noexcept {
    return quorvel::hashing::hashFields(e.sessionId, e.levelDb, e.bandsDb);
  }
};

// The case and its payload.
template <>
struct hash<quorvel::CaptionEngineEvent> {
  size_t operator()(const quorvel::CaptionEngineEvent& e) const noexcept {
    using quorvel::hashing::hashFields;
    if (const auto* segment = e.asSegment()) return hashFields(e.which(), *segment);
    if (const auto* state = e.asState()) return hashFields(e.which(), *state);
    if (const auto* level = e.asLevel()) return hashFields(e.which(), *level);
    if (const auto* progress = e.asAssetProgress()) return hashFields(e.which(), *progress);
    const std::string* line = e.asLog();
    return line ? hashFields(e.which(), *line) : hashFields(e.which());
  }
};

}  // namespace std
