// The runtime's plain values: state and code words, the status and capabilities wire
// dictionaries, and the seconds rule.
#include <gtest/gtest.h>

#include <optional>

#include "caption_engine/runtime/caption_runtime_failure.h"
#include "caption_engine/runtime/caption_runtime_values.h"

namespace quorvel {
namespace {

TEST(CaptionStateTest, WireWordsRoundTripAndOtherTextIsNothing) {
  for (CaptionState s : allCaptionStates) EXPECT_EQ(captionStateFromRaw(rawValue(s)), s);
  EXPECT_EQ(captionStateFromRaw("no_audio"), CaptionState::noAudio);
  EXPECT_EQ(captionStateFromRaw("model_missing"), CaptionState::modelMissing);
  for (const char* text : {"noAudio", "Running", "", " idle", "modelMissing"}) {
    EXPECT_EQ(captionStateFromRaw(text), std::nullopt) << text;
  }
  int onAir = 0;
  for (CaptionState s : allCaptionStates) onAir += isOnAir(s) ? 1 : 0;
  EXPECT_EQ(onAir, 3);
  EXPECT_TRUE(isOnAir(CaptionState::starting) && isOnAir(CaptionState::running) &&
              isOnAir(CaptionState::noAudio));
}

TEST(CaptionRuntimeErrorCodeTest, RawValuesRoundTripAndHelperOnlyCodesAreNothing) {
  for (auto c : allCaptionRuntimeErrorCodes)
    EXPECT_EQ(captionRuntimeErrorCodeFromRaw(rawValue(c)), c);
  EXPECT_EQ(captionRuntimeErrorCodeFromRaw("UNSUPPORTED_OP"), std::nullopt);
  EXPECT_EQ(captionRuntimeErrorCodeFromRaw("bad_request"), std::nullopt);
}

TEST(CaptionStatusMappingTest, Seconds) {
  struct Case {
    std::optional<int64_t> start, end;
    int64_t now, want;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, 99'000, 0},
      {std::nullopt, 5'000, 99'000, 0},
      {1'000, 2'999, 0, 1},  // end wins over now
      {1'000, std::nullopt, 4'000, 3},
      {1'000, std::nullopt, 1'999, 0},
      {5'000, 4'000, 0, 0},  // end before start: never negative
      {5'000, std::nullopt, 4'001, 0},
      {0, 61'999, 0, 61},
      {-2'500, 0, 0, 2},  // floor, not truncation toward the start
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CaptionStatusMapping::seconds(c.start, c.end, c.now), c.want)
        << c.start.value_or(-1) << " " << c.end.value_or(-1) << " " << c.now;
  }
}

TEST(CaptionStatusMappingTest, StatusDictionaryHasExactlySixKeysWithNullsForAbsentFields) {
  CaptionRuntimeStatus none;
  none.state = CaptionState::idle;
  none.nowMs = 123'456;
  EXPECT_EQ(
      none.ack().dump(),
      R"({"state":"idle","sessionId":null,"locale":null,"seconds":0,"lastSpeechAtMs":null,"levelDb":null})");

  CaptionRuntimeStatus full{CaptionState::noAudio, "s1",   "en-US", 10'000,
                            std::nullopt,          12'345, -61.5,   55'400};
  EXPECT_EQ(
      full.ack().dump(),
      R"({"state":"no_audio","sessionId":"s1","locale":"en-US","seconds":45,"lastSpeechAtMs":12345,"levelDb":-61.5})");
  EXPECT_EQ(full.ack(), CaptionStatusMapping::ack(full.state, full.sessionId, full.locale,
                                                  full.startedAtMs, full.endedAtMs,
                                                  full.lastSpeechAtMs, full.levelDb, full.nowMs));
  // A whole level keeps its floating-point form on the wire.
  full.levelDb = -120.0;
  EXPECT_EQ(full.ack()["levelDb"].dump(), "-120.0");
}

TEST(CaptionRuntimeCapabilitiesTest, BlockHasFourKeysAndANullReason) {
  EXPECT_EQ(
      (CaptionRuntimeCapabilities{true, std::nullopt, {"en-US"}, {"en-GB", "en-US"}, {}}
           .block()
           .dump()),
      R"({"supported":true,"reason":null,"installedLocales":["en-US"],"supportedLocales":["en-GB","en-US"]})");
  EXPECT_EQ((CaptionRuntimeCapabilities{false, "why", {}, {}, {}}.block().dump()),
            R"({"supported":false,"reason":"why","installedLocales":[],"supportedLocales":[]})");
}

TEST(CaptionRuntimeEventsTest, SilentAndUnsetCallbacksAreSafeToRaise) {
  const auto silent = CaptionRuntimeEvents::silent();
  ASSERT_TRUE(silent.state && silent.level && silent.assetProgress && silent.segment &&
              silent.log && silent.uiLevel);
  for (const CaptionRuntimeEvents& e : {silent, CaptionRuntimeEvents{}}) {
    e.raiseState(CaptionState::running, std::nullopt, std::nullopt, std::nullopt);
    e.raiseLevel("s", -1.0);
    e.raiseAssetProgress("en-US", 0.5, false, std::nullopt);
    e.raiseSegment("s", CaptionEmission{}, "en-US");
    e.raiseLog("x");
    e.raiseUiLevel("s", CaptionLevelReading{});
  }
}

TEST(CaptionRuntimeOutcomeTest, HoldsAValueOrAFailure) {
  const auto ok = CaptionRuntimeOutcome<CaptionRuntimeStopResult>::ok({2, 7});
  ASSERT_TRUE(ok.isOk());
  EXPECT_EQ(ok.value(), (CaptionRuntimeStopResult{2, 7}));
  const CaptionRuntimeFailure f(CaptionRuntimeErrorCode::internal, "m", std::nullopt,
                                CaptionState::error, false);
  const auto failed = CaptionRuntimeOutcome<CaptionRuntimeStopResult>::failed(f);
  ASSERT_FALSE(failed.isOk());
  EXPECT_EQ(failed.failure(), f);
  EXPECT_FALSE(f.context.has_value());
}

}  // namespace
}  // namespace quorvel
