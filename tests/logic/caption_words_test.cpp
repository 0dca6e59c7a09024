// Placing a final's words on its segment: trimmed text, times inside the segment, in order.
#include <gtest/gtest.h>

#include "caption_engine/logic/caption_words.h"

namespace quorvel {
namespace {

using Words = std::vector<CaptionWord>;

TEST(CaptionWords, PlacedWordsStayInsideTheSegmentAndInOrder) {
  struct Case {
    const char* what;
    Words in;
    int64_t startMs, endMs;
    Words out;
  };
  const std::vector<Case> cases{
      {"inside: unchanged",
       {{"a", 100, 200}, {"b", 200, 400}},
       100,
       400,
       {{"a", 100, 200}, {"b", 200, 400}}},
      {"before the start and past the end: clamped",
       {{"a", 50, 150}, {"b", 350, 900}},
       100,
       400,
       {{"a", 100, 150}, {"b", 350, 400}}},
      {"entirely outside: a zero-length word at the edge",
       {{"a", 500, 600}},
       100,
       400,
       {{"a", 400, 400}}},
      {"an end before its start: raised to the start",
       {{"a", 300, 200}},
       100,
       400,
       {{"a", 300, 300}}},
      {"a start before the previous word's: raised to it",
       {{"a", 300, 350}, {"b", 200, 380}},
       100,
       400,
       {{"a", 300, 350}, {"b", 300, 380}}},
      {"text trimmed, empty words dropped",
       {{" a\n", 100, 200}, {"  ", 200, 300}, {"", 300, 301}},
       100,
       400,
       {{"a", 100, 200}}},
      {"a segment whose end is before its start spans nothing",
       {{"a", 100, 200}},
       300,
       100,
       {{"a", 300, 300}}},
      {"no words", {}, 0, 100, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CaptionWords::placed(c.in, c.startMs, c.endMs), c.out) << c.what;
  }
}

}  // namespace
}  // namespace quorvel
