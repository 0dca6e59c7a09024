// The engine interface's values: raw values, their JSON form, the error's description, the
// observers made from one event callback, and equality of the event records.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cmath>
#include <string>
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
  EXPECT_EQ(codes, (std::vector<std::string>{"CAPTIONS_UNSUPPORTED", "CAPTIONS_MODEL_MISSING",
                                             "CAPTIONS_AUDIO_UNAVAILABLE",
                                             "CAPTIONS_START_FAILED"}));
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

}  // namespace
}  // namespace quorvel
