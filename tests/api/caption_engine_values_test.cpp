// The engine interface's values: raw values, their JSON form, the error's description, the
// observers made from one event callback, and equality and hashing of the records.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cmath>
#include <functional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "caption_engine/api/caption_engine_json.h"
#include "caption_engine/api/caption_engine_values.h"

namespace quorvel {
namespace {

using nlohmann::json;

TEST(CaptionEngineValues, RawValuesInTableOrder) {
  std::vector<std::string> kinds, codes, segmentKinds;
  for (auto k : allCaptionEngineKinds) kinds.emplace_back(rawValue(k));
  for (auto c : allCaptionEngineErrorCodes) codes.emplace_back(rawValue(c));
  for (auto k : allCaptionSegmentEventKinds) segmentKinds.emplace_back(rawValue(k));
  EXPECT_EQ(kinds, (std::vector<std::string>{"apple", "sherpa"}));
  EXPECT_EQ(codes,
            (std::vector<std::string>{"CAPTIONS_UNSUPPORTED", "CAPTIONS_MODEL_MISSING",
                                      "CAPTIONS_AUDIO_UNAVAILABLE", "CAPTIONS_START_FAILED"}));
  EXPECT_EQ(segmentKinds, (std::vector<std::string>{"final", "volatile"}));
}

TEST(CaptionEngineValues, FromRawMatchesExactly) {
  EXPECT_EQ(captionEngineKindFromRaw("apple"), CaptionEngineKind::apple);
  EXPECT_EQ(captionEngineKindFromRaw("sherpa"), CaptionEngineKind::sherpa);
  EXPECT_EQ(captionEngineKindFromRaw("Apple"), std::nullopt);
  EXPECT_EQ(captionEngineErrorCodeFromRaw("CAPTIONS_MODEL_MISSING"),
            CaptionEngineErrorCode::modelMissing);
  EXPECT_EQ(captionEngineErrorCodeFromRaw("modelMissing"), std::nullopt);
  EXPECT_EQ(captionEngineErrorCodeFromRaw("captions_model_missing"), std::nullopt);
  EXPECT_EQ(captionSegmentEventKindFromRaw("volatile"), CaptionSegmentEvent::Kind::volatile_);
  EXPECT_EQ(captionSegmentEventKindFromRaw("volatile_"), std::nullopt);
  EXPECT_EQ(captionSegmentEventKindFromRaw(" final"), std::nullopt);
}

template <class Enum, size_t N>
void expectJsonRoundTrip(const std::array<Enum, N>& all) {
  for (Enum value : all) {
    json encoded = value;
    ASSERT_TRUE(encoded.is_string());
    EXPECT_EQ(encoded.get<std::string>(), std::string(rawValue(value)));
    EXPECT_EQ(encoded.get<Enum>(), value);
    // ordered_json takes the same form.
    nlohmann::ordered_json ordered = value;
    EXPECT_EQ(ordered.dump(), encoded.dump());
    EXPECT_EQ(json::parse(encoded.dump()).get<Enum>(), value);
  }
}

TEST(CaptionEngineValues, JsonRoundTripOfEveryCase) {
  expectJsonRoundTrip(allCaptionEngineKinds);
  expectJsonRoundTrip(allCaptionEngineErrorCodes);
  expectJsonRoundTrip(allCaptionSegmentEventKinds);
  expectJsonRoundTrip(allCaptionStates);
  EXPECT_EQ(json(CaptionEngineErrorCode::audioUnavailable).dump(),
            "\"CAPTIONS_AUDIO_UNAVAILABLE\"");
  EXPECT_EQ(json(CaptionState::noAudio).dump(), "\"no_audio\"");
}

TEST(CaptionEngineValues, JsonDecodingAnythingButARawValueFails) {
  // Case names, other spellings and other JSON types are not raw values.
  EXPECT_THROW(json("audioUnavailable").get<CaptionEngineErrorCode>(), json::type_error);
  EXPECT_THROW(json("Apple").get<CaptionEngineKind>(), json::type_error);
  EXPECT_THROW(json("noAudio").get<CaptionState>(), json::type_error);
  EXPECT_THROW(json("FINAL").get<CaptionSegmentEvent::Kind>(), json::type_error);
  EXPECT_THROW(json(0).get<CaptionEngineKind>(), json::type_error);
  EXPECT_THROW(json(nullptr).get<CaptionState>(), json::type_error);
  EXPECT_THROW(json::array({"apple"}).get<CaptionEngineKind>(), json::type_error);
}

TEST(CaptionEngineValues, ErrorDescriptionIsCodeColonMessage) {
  CaptionEngineError error(CaptionEngineErrorCode::unsupported,
                           "the speech engine is not in this build yet", false);
  EXPECT_EQ(error.description(),
            "CAPTIONS_UNSUPPORTED: the speech engine is not in this build yet");
  EXPECT_STREQ(error.what(), "CAPTIONS_UNSUPPORTED: the speech engine is not in this build yet");
  CaptionEngineError retriable(CaptionEngineErrorCode::startFailed,
                               "a start needs a session and a locale", true);
  EXPECT_EQ(retriable.description(), "CAPTIONS_START_FAILED: a start needs a session and a locale");
  EXPECT_EQ(retriable.code(), CaptionEngineErrorCode::startFailed);
  EXPECT_TRUE(retriable.retriable());
  // A copy keeps its own description.
  CaptionEngineError copy = retriable;
  EXPECT_STREQ(copy.what(), retriable.what());
  EXPECT_EQ(copy, retriable);
  EXPECT_NE(copy, error);
}

TEST(CaptionEngineValues, ObserversFromOneCallbackWrapEachEventInItsCase) {
  std::vector<CaptionEngineEvent> seen;
  CaptionEngineObservers observers([&](const CaptionEngineEvent& e) { seen.push_back(e); });
  CaptionSegmentEvent segment{"s1", 3, CaptionSegmentEvent::Kind::final, 10, 20, "hello", "en-US"};
  CaptionStateEvent state{"s1", CaptionState::running, std::nullopt, -30.0};
  CaptionLevelEvent level{"s1", -42.5};
  CaptionAssetProgressEvent progress{"en-US", 0.5, false, std::nullopt};
  observers.onSegment(segment);
  observers.onState(state);
  observers.onLevel(level);
  observers.onAssetProgress(progress);
  observers.onLog("a log line");

  ASSERT_EQ(seen.size(), 5u);
  EXPECT_EQ(seen[0], CaptionEngineEvent::segment(segment));
  EXPECT_EQ(seen[1], CaptionEngineEvent::state(state));
  EXPECT_EQ(seen[2], CaptionEngineEvent::level(level));
  EXPECT_EQ(seen[3], CaptionEngineEvent::assetProgress(progress));
  EXPECT_EQ(seen[4].which(), CaptionEngineEvent::Case::log);
  ASSERT_NE(seen[4].asLog(), nullptr);
  EXPECT_EQ(*seen[4].asLog(), "a log line");
  EXPECT_EQ(seen[0].asState(), nullptr);
}

TEST(CaptionEngineValues, ObserversFromAnEmptyCallbackWantNothing) {
  CaptionEngineObservers observers{CaptionEngineObservers::EventCallback{}};
  EXPECT_FALSE(observers.onSegment);
  EXPECT_FALSE(observers.onLog);
}

TEST(CaptionEngineValues, EventEqualityComparesCaseAndPayload) {
  CaptionLevelReadingEvent a{"s1", -20.0, {-30.0, -40.0}};
  CaptionLevelReadingEvent b{"s1", -20.0, {-30.0, -40.0, -50.0}};
  EXPECT_NE(a, b);
  b.bandsDb.pop_back();
  EXPECT_EQ(a, b);
  // The same text as a log line and as a level's session is not the same event.
  EXPECT_NE(CaptionEngineEvent::log("s1"), CaptionEngineEvent::level(CaptionLevelEvent{"s1", 0.0}));
  EXPECT_EQ(CaptionEngineEvent::log("x"), CaptionEngineEvent::log("x"));
  // Floating-point fields compare as numbers.
  EXPECT_EQ((CaptionEngineStopAck{0, -0.0}), CaptionEngineStopAck::nothing);
  EXPECT_EQ(CaptionEngineStopAck::nothing.finals, 0);
  EXPECT_EQ(CaptionEngineStopAck::nothing.seconds, 0.0);
}

// Equal values (the pairs) hash alike and are one element of a set; distinct values stay apart in
// a set, and no two of them hash alike, so every field equality compares feeds the hash.
template <class T>
void expectHashingAgreesWithEquality(const std::vector<std::pair<T, T>>& equal,
                                     const std::vector<T>& distinct) {
  const std::hash<T> hash;
  for (size_t i = 0; i < equal.size(); ++i) {
    SCOPED_TRACE("equal pair " + std::to_string(i));
    const auto& [a, b] = equal[i];
    EXPECT_TRUE(a == b);
    EXPECT_EQ(hash(a), hash(b));
    EXPECT_EQ((std::unordered_set<T>{a, b}.size()), 1u);
  }
  std::unordered_set<T> set;
  std::unordered_set<size_t> hashes;
  for (size_t i = 0; i < distinct.size(); ++i) {
    SCOPED_TRACE("distinct value " + std::to_string(i));
    EXPECT_TRUE(set.insert(distinct[i]).second) << "equal to an earlier value";
    EXPECT_TRUE(hashes.insert(hash(distinct[i])).second) << "hashes like an earlier value";
  }
  for (const T& value : distinct) EXPECT_EQ(set.count(value), 1u);
}

TEST(CaptionEngineValues, ErrorAndStartArgumentsHashAsTheyCompare) {
  using Code = CaptionEngineErrorCode;
  const CaptionEngineError error(Code::startFailed, "no", true);
  expectHashingAgreesWithEquality<CaptionEngineError>(
      {{error, CaptionEngineError(Code::startFailed, "no", true)}},
      {error, CaptionEngineError(Code::unsupported, "no", true),
       CaptionEngineError(Code::startFailed, "No", true),
       CaptionEngineError(Code::startFailed, "no", false)});

  const CaptionEngineStartArgs args{
      "s1", "en-US", CaptionAudioSource::file("/tmp/a.wav", true), true, {"Quorvel"}, false, false};
  auto with = [&](auto change) {
    CaptionEngineStartArgs changed = args;
    change(changed);
    return changed;
  };
  expectHashingAgreesWithEquality<CaptionEngineStartArgs>(
      {{args, with([](auto&) {})}},
      {args, with([](auto& a) { a.sessionId = "s2"; }), with([](auto& a) { a.locale = "en-GB"; }),
       with([](auto& a) { a.source = CaptionAudioSource::file("/tmp/a.wav", false); }),
       with([](auto& a) { a.source = CaptionAudioSource::device("/tmp/a.wav"); }),
       with([](auto& a) { a.source = CaptionAudioSource::systemDefault(); }),
       with([](auto& a) { a.fast = false; }), with([](auto& a) { a.terms.clear(); }),
       with([](auto& a) { a.terms.push_back("Captions"); }),
       with([](auto& a) { a.profanityFilter = true; }),
       with([](auto& a) { a.installIfMissing = true; })});
}

// +0.0 and -0.0 compare equal, so they must hash alike, also inside optionals and vectors.
TEST(CaptionEngineValues, AcknowledgementsAndSnapshotsHashAsTheyCompare) {
  expectHashingAgreesWithEquality<CaptionEngineStartAck>(
      {{{"en-US", 0.0}, {"en-US", -0.0}}}, {{"en-US", 0.0}, {"en-GB", 0.0}, {"en-US", 1.7e12}});
  expectHashingAgreesWithEquality<CaptionEngineStopAck>(
      {{CaptionEngineStopAck::nothing, {0, -0.0}}}, {{0, 0.0}, {1, 0.0}, {0, 12.0}});

  const CaptionEngineStatus status{CaptionState::running, "s1", "en-US", 3.0, 1000.0, -30.0};
  auto with = [&](auto change) {
    CaptionEngineStatus changed = status;
    change(changed);
    return changed;
  };
  expectHashingAgreesWithEquality<CaptionEngineStatus>(
      {{with([](auto& s) { s.seconds = 0.0; }), with([](auto& s) { s.seconds = -0.0; })},
       {with([](auto& s) { s.lastSpeechAtMs = 0.0; }),
        with([](auto& s) { s.lastSpeechAtMs = -0.0; })},
       {with([](auto& s) { s.levelDb = 0.0; }), with([](auto& s) { s.levelDb = -0.0; })}},
      {status, with([](auto& s) { s.state = CaptionState::stopped; }),
       with([](auto& s) { s.sessionId.reset(); }), with([](auto& s) { s.sessionId = ""; }),
       with([](auto& s) { s.locale.reset(); }), with([](auto& s) { s.seconds = 4.0; }),
       with([](auto& s) { s.lastSpeechAtMs.reset(); }),
       with([](auto& s) { s.lastSpeechAtMs = 0.0; }), with([](auto& s) { s.levelDb.reset(); }),
       with([](auto& s) { s.levelDb = -31.0; })});

  using Caps = CaptionEngineCapabilities;
  const Caps caps{CaptionEngineKind::apple, true, std::nullopt, {"en-US"}, {"en-US", "de-DE"}};
  expectHashingAgreesWithEquality<Caps>(
      {{caps, caps}},
      {caps, Caps{CaptionEngineKind::sherpa, true, std::nullopt, {"en-US"}, {"en-US", "de-DE"}},
       Caps{CaptionEngineKind::apple, false, std::nullopt, {"en-US"}, {"en-US", "de-DE"}},
       Caps{CaptionEngineKind::apple, true, "", {"en-US"}, {"en-US", "de-DE"}},
       Caps{CaptionEngineKind::apple, true, std::nullopt, {}, {"en-US", "de-DE"}},
       Caps{CaptionEngineKind::apple, true, std::nullopt, {"en-US"}, {"de-DE", "en-US"}},
       // The same locale in the other list is another value.
       Caps{CaptionEngineKind::apple, true, std::nullopt, {}, {"en-US"}},
       Caps{CaptionEngineKind::apple, true, std::nullopt, {"en-US"}, {}}});
}

TEST(CaptionEngineValues, EventRecordsHashAsTheyCompare) {
  using Kind = CaptionSegmentEvent::Kind;
  const CaptionSegmentEvent segment{"s1", 3, Kind::final, 10, 20, "hello", "en-US"};
  expectHashingAgreesWithEquality<CaptionSegmentEvent>(
      {{segment, segment}},
      {segment,
       {"s2", 3, Kind::final, 10, 20, "hello", "en-US"},
       {"s1", 4, Kind::final, 10, 20, "hello", "en-US"},
       {"s1", 3, Kind::volatile_, 10, 20, "hello", "en-US"},
       {"s1", 3, Kind::final, 11, 20, "hello", "en-US"},
       {"s1", 3, Kind::final, 10, 21, "hello", "en-US"},
       {"s1", 3, Kind::final, 10, 20, "hello.", "en-US"},
       {"s1", 3, Kind::final, 10, 20, "hello", "en-GB"},
       {"s1", 3, Kind::final, 10, 20, "hello", "en-US", {{"hello", 10, 20}}},
       {"s1", 3, Kind::final, 10, 20, "hello", "en-US", {{"hello", 10, 19}}},
       {"s1", 3, Kind::final, 10, 20, "hello", "en-US", {{"hello", 11, 20}}},
       {"s1", 3, Kind::final, 10, 20, "hello", "en-US", {{"hallo", 10, 20}}}});

  expectHashingAgreesWithEquality<CaptionStateEvent>(
      {{{"s1", CaptionState::noAudio, "quiet", 0.0}, {"s1", CaptionState::noAudio, "quiet", -0.0}}},
      {{"s1", CaptionState::noAudio, "quiet", 0.0},
       {std::nullopt, CaptionState::noAudio, "quiet", 0.0},
       {"s1", CaptionState::running, "quiet", 0.0},
       {"s1", CaptionState::noAudio, std::nullopt, 0.0},
       {"s1", CaptionState::noAudio, "quiet", std::nullopt}});

  expectHashingAgreesWithEquality<CaptionLevelEvent>({{{"s1", 0.0}, {"s1", -0.0}}},
                                                     {{"s1", 0.0}, {"s2", 0.0}, {"s1", -20.0}});

  expectHashingAgreesWithEquality<CaptionAssetProgressEvent>(
      {{{"en-US", 0.0, false, std::nullopt}, {"en-US", -0.0, false, std::nullopt}}},
      {{"en-US", 0.0, false, std::nullopt},
       {"de-DE", 0.0, false, std::nullopt},
       {"en-US", 0.5, false, std::nullopt},
       {"en-US", 0.0, true, std::nullopt},
       {"en-US", 0.0, false, "no network"}});

  expectHashingAgreesWithEquality<CaptionLevelReadingEvent>(
      {{{"s1", -0.0, {0.0, -30.0}}, {"s1", 0.0, {-0.0, -30.0}}}}, {{"s1", 0.0, {0.0, -30.0}},
                                                                   {"s2", 0.0, {0.0, -30.0}},
                                                                   {"s1", -1.0, {0.0, -30.0}},
                                                                   {"s1", 0.0, {-30.0, 0.0}},
                                                                   {"s1", 0.0, {0.0, -30.0, -40.0}},
                                                                   {"s1", 0.0, {}}});
}

// The union hashes its case with its payload: the same text in two cases is two events.
TEST(CaptionEngineValues, EventUnionHashesCaseAndPayload) {
  using Event = CaptionEngineEvent;
  expectHashingAgreesWithEquality<Event>(
      {{Event::log("s1"), Event::log("s1")},
       {Event::level({"s1", 0.0}), Event::level({"s1", -0.0})}},
      {Event::log("s1"), Event::log("s2"), Event::level({"s1", 0.0}),
       Event::state({"s1", CaptionState::idle, std::nullopt, std::nullopt}),
       Event::assetProgress({"s1", 0.0, false, std::nullopt}),
       Event::segment({"s1", 0, CaptionSegmentEvent::Kind::volatile_, 0, 0, "", ""})});
}

}  // namespace
}  // namespace quorvel
