// The runtime's plain values: state and code words, the seconds rule and the progress clamp.
#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <utility>
#include <vector>

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

TEST(CaptionErrorCodeTest, RawValuesRoundTripAndOtherTextIsNothing) {
  for (auto c : allCaptionErrorCodes) EXPECT_EQ(captionErrorCodeFromRaw(rawValue(c)), c);
  EXPECT_EQ(captionErrorCodeFromRaw("bad_request"), std::nullopt);
  EXPECT_EQ(captionErrorCodeFromRaw("BAD_REQUEST "), std::nullopt);
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

TEST(CaptionRuntimeEventsTest, RaisedProgressFractionsAreClampedToZeroToOne) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<double, double> cases[] = {{0.5, 0.5}, {1.7, 1.0},  {-0.2, 0.0}, {nan, 0.0},
                                             {inf, 0.0}, {-inf, 0.0}, {1.0, 1.0},  {0.0, 0.0}};
  std::vector<double> raised;
  CaptionRuntimeEvents events;
  events.assetProgress = [&](const std::string&, double f, bool, const std::optional<std::string>&) {
    raised.push_back(f);
  };
  for (auto [given, expected] : cases) events.raiseAssetProgress("en-US", given, false, {});
  ASSERT_EQ(raised.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(raised[i], cases[i].second) << "given " << cases[i].first;
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
