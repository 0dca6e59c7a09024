// Numbering, trimming, time clamping and volatile hold-back of the segment sequencer.
#include "caption_engine/logic/caption_segment_sequencer.h"

#include <gtest/gtest.h>

#include <limits>
#include <optional>

namespace quorvel {
namespace {

CaptionEmission emission(int64_t seq, const char* kind, int64_t start, int64_t end,
                         const char* text) {
  return CaptionEmission{seq, kind, start, end, text};
}

TEST(CaptionSegmentSequencerTest, FreshSequencerStartsAtZero) {
  CaptionSegmentSequencer s;
  EXPECT_EQ(s.lastSeq(), 0);
  EXPECT_EQ(s.finals(), 0);
  EXPECT_EQ(s.lastFinalEndMs(), 0);
  EXPECT_EQ(s.droppedVolatiles(), 0);
  EXPECT_EQ(CaptionSegmentSequencer::volatileMinSpacingMs, 250);
  EXPECT_EQ(CaptionSegmentSequencer::supersessionToleranceMs, 250);
}

TEST(CaptionSegmentSequencerTest, VolatilesAndFinalsShareOneNumberingWithoutGaps) {
  CaptionSegmentSequencer s;
  EXPECT_EQ(s.admit(false, 0, 100, "hel", 1000), emission(1, "volatile", 0, 100, "hel"));
  EXPECT_EQ(s.admit(false, 0, 200, "hello", 1100), std::nullopt);  // too soon: no number used
  EXPECT_EQ(s.admit(false, 0, 300, "hello w", 1250), emission(2, "volatile", 0, 300, "hello w"));
  EXPECT_EQ(s.admit(true, 0, 400, "hello world", 1300),
            emission(3, "final", 0, 400, "hello world"));
  EXPECT_EQ(s.admit(false, 400, 500, "next", 1301), emission(4, "volatile", 400, 500, "next"));
  EXPECT_EQ(s.lastSeq(), 4);
  EXPECT_EQ(s.finals(), 1);
  EXPECT_EQ(s.droppedVolatiles(), 1);
  EXPECT_EQ(s.lastFinalEndMs(), 400);
}

TEST(CaptionSegmentSequencerTest, BlankTextYieldsNothingAndCountsNothing) {
  for (bool isFinal : {true, false}) {
    CaptionSegmentSequencer s;
    for (const char* blank : {"", " ", "\n\t", "\u3000\u2028\u00A0"}) {
      EXPECT_EQ(s.admit(isFinal, 0, 1000, blank, 1000), std::nullopt) << isFinal;
    }
    EXPECT_EQ(s.lastSeq(), 0);
    EXPECT_EQ(s.finals(), 0);
    EXPECT_EQ(s.droppedVolatiles(), 0);
    EXPECT_EQ(s.lastFinalEndMs(), 0);
  }
}

TEST(CaptionSegmentSequencerTest, TextIsTrimmedAtTheEndsOnly) {
  CaptionSegmentSequencer s;
  auto e = s.admit(true, 0, 10, " two  words \n", 0);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->text, "two  words");
  e = s.admit(true, 10, 20, "\u3000\u7A7A\u3000\u6C17\u2029", 0);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->text, "\u7A7A\u3000\u6C17");
}

TEST(CaptionSegmentSequencerTest, TimeRangesAreClamped) {
  struct Case {
    bool isFinal;
    int64_t start, end;
    int64_t wantStart, wantEnd;
  };
  const Case cases[] = {
      {true, -40, -10, 0, 0},
      {true, 900, 800, 900, 900},
      {true, 100, 200, 100, 200},
      {false, -40, 30, 0, 30},
      {false, 900, 800, 900, 900},
      {true, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::min(), 0, 0},
  };
  for (const Case& c : cases) {
    CaptionSegmentSequencer s;
    auto e = s.admit(c.isFinal, c.start, c.end, "x", 0);
    ASSERT_TRUE(e) << c.start << " " << c.end;
    EXPECT_EQ(e->tStartMs, c.wantStart);
    EXPECT_EQ(e->tEndMs, c.wantEnd);
  }
}

// Volatiles checked against a final that ended at 5000, each on a fresh spacing phase.
TEST(CaptionSegmentSequencerTest, VolatilesInsideFinalisedAudioAreHeldBack) {
  struct Case {
    int64_t start, end;
    bool emitted;
  };
  const Case cases[] = {
      {4000, 5000, false},  // ends where the final ended
      {4750, 5200, true},   // starts exactly 250 ms inside: tolerated
      {4749, 5200, false},  // 251 ms inside
      {5000, 5001, true},  {6000, 7000, true}, {4900, 4999, false},
  };
  for (const Case& c : cases) {
    CaptionSegmentSequencer s;
    ASSERT_TRUE(s.admit(true, 0, 5000, "final", 0));
    EXPECT_EQ(s.admit(false, c.start, c.end, "v", 100).has_value(), c.emitted)
        << c.start << "-" << c.end;
    EXPECT_EQ(s.droppedVolatiles(), c.emitted ? 0 : 1);
    EXPECT_EQ(s.lastSeq(), c.emitted ? 2 : 1);
  }
}

TEST(CaptionSegmentSequencerTest, AtSessionStartAVolatileEndingAtZeroIsHeldBack) {
  CaptionSegmentSequencer s;
  EXPECT_EQ(s.admit(false, -5, 0, "v", 0), std::nullopt);
  EXPECT_EQ(s.droppedVolatiles(), 1);
  EXPECT_TRUE(s.admit(false, 0, 1, "v", 0));
}

TEST(CaptionSegmentSequencerTest, VolatileSpacingIsMeasuredFromEmissionToEmission) {
  CaptionSegmentSequencer s;
  EXPECT_TRUE(s.admit(false, 0, 100, "a", 1000));
  EXPECT_FALSE(s.admit(false, 0, 100, "b", 1249));
  EXPECT_TRUE(s.admit(false, 0, 100, "c", 1250));  // exactly 250 after the first emission
  EXPECT_FALSE(s.admit(false, 0, 100, "d", 1400));
  EXPECT_FALSE(s.admit(false, 0, 100, "e", 1499));  // 249 after the last emitted one
  EXPECT_TRUE(s.admit(false, 0, 100, "f", 1500));
  EXPECT_FALSE(s.admit(false, 0, 100, "g", 900));  // clock went backwards
  EXPECT_EQ(s.droppedVolatiles(), 4);
  EXPECT_EQ(s.lastSeq(), 3);
}

TEST(CaptionSegmentSequencerTest, AFinalClearsTheSpacing) {
  CaptionSegmentSequencer s;
  EXPECT_TRUE(s.admit(false, 0, 100, "a", 1000));
  EXPECT_TRUE(s.admit(true, 0, 100, "final", 1100));
  auto e = s.admit(false, 100, 200, "b", 1150);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->seq, 3);
}

TEST(CaptionSegmentSequencerTest, EarlierFinalKeepsItsRangeAndLastFinalEndStays) {
  CaptionSegmentSequencer s;
  ASSERT_TRUE(s.admit(true, 1000, 5000, "later", 0));
  EXPECT_EQ(s.admit(true, 100, 900, "earlier", 0), emission(2, "final", 100, 900, "earlier"));
  EXPECT_EQ(s.lastFinalEndMs(), 5000);
  EXPECT_EQ(s.finals(), 2);
}

// Extreme wall-clock values must not overflow the spacing computation.
TEST(CaptionSegmentSequencerTest, ExtremeClockValuesDoNotOverflow) {
  CaptionSegmentSequencer s;
  const int64_t lo = std::numeric_limits<int64_t>::min();
  const int64_t hi = std::numeric_limits<int64_t>::max();
  EXPECT_TRUE(s.admit(false, 0, 100, "a", lo));
  EXPECT_TRUE(s.admit(false, 0, 100, "b", hi));   // far later: passes
  EXPECT_FALSE(s.admit(false, 0, 100, "c", lo));  // far earlier: held back
}

TEST(CaptionEmissionTest, IsFinalFollowsKind) {
  EXPECT_TRUE(emission(1, "final", 0, 0, "x").isFinal());
  EXPECT_FALSE(emission(1, "volatile", 0, 0, "x").isFinal());
  EXPECT_FALSE(emission(1, "Final", 0, 0, "x").isFinal());
}

}  // namespace
}  // namespace quorvel
