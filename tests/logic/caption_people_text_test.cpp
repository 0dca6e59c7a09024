// Text as a person reads it, the same for both engines.
#include "caption_engine/logic/caption_people_text.h"

#include <gtest/gtest.h>

namespace quorvel {
namespace {

TEST(CaptionPeopleText, RulesOfTable) {
  struct Case {
    const char* in;
    bool sentenceStart;
    std::vector<std::string> terms;
    const char* out;
  } cases[] = {
      {"hello world", true, {}, "Hello world"},
      {"hello world", false, {}, "hello world"},  // volatiles keep the case they have
      {"so i think i'm right and i'd say i've won",
       false,
       {},
       "so I think I'm right and I'd say I've won"},
      {"i", true, {}, "I"},
      {"ink is inside", true, {}, "Ink is inside"},  // only the word "i" itself
      {"we met quorvel today", true, {"Quorvel"}, "We met Quorvel today"},
      {"iphone sales", true, {"iPhone"}, "iPhone sales"},  // a term's own spelling stays
      {"to new york city now", true, {"New York", "New York City"}, "To New York City now"},
      {"NEW york", false, {"New York"}, "New York"},
      {"\xC3\xA9t\xC3\xA9 ici", true, {}, "\xC3\x89t\xC3\xA9 ici"},  // été -> Été
      {"", true, {"x"}, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CaptionPeopleText::apply(c.in, c.sentenceStart, c.terms), c.out) << c.in;
  }
}

// Word lists keep their length, so each word keeps its audio time.
TEST(CaptionPeopleText, WordListsKeepTheirLength) {
  std::vector<std::string> words = {"visit", "new", "york", "i", "said"};
  CaptionPeopleText::apply(words, true, {"new york"});
  EXPECT_EQ(words, (std::vector<std::string>{"Visit", "new", "york", "I", "said"}));
}

}  // namespace
}  // namespace quorvel
