// Unicode white space and lower-casing over UTF-8, including ill-formed input.
#include "caption_engine/logic/caption_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorvel {
namespace {

using namespace std::string_literals;

TEST(CaptionTextTest, WhitespaceClassesFollowUnicodeCategories) {
  struct Case {
    char32_t c;
    bool whitespaceOrNewline;
    bool horizontal;
  };
  const Case cases[] = {
      {U' ', true, true},       {U'\t', true, true},        {U'\n', true, false},
      {U'\v', true, false},     {U'\f', true, false},       {U'\r', true, false},
      {0x85, true, false},      {0xA0, true, true},         {0x1680, true, true},
      {0x2000, true, true},     {0x200A, true, true},       {0x2028, true, false},
      {0x2029, true, false},    {0x202F, true, true},       {0x205F, true, true},
      {0x3000, true, true},     {U'a', false, false},       {0x200B, false, false},  // ZWSP is Cf
      {0xFEFF, false, false},   {0x1C, false, false},       {0x00, false, false},
      {0x110000, false, false}, {0xFFFFFFFF, false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CaptionText::isWhitespaceOrNewline(c.c), c.whitespaceOrNewline)
        << std::hex << uint32_t(c.c);
    EXPECT_EQ(CaptionText::isHorizontalWhitespace(c.c), c.horizontal) << std::hex << uint32_t(c.c);
  }
}

TEST(CaptionTextTest, TrimmedRemovesUnicodeWhitespaceAtBothEndsOnly) {
  struct Case {
    std::string in;
    std::string out;
    std::string horizontal;
  };
  const Case cases[] = {
      {"", "", ""},
      {" \t\n\r ", "", "\n\r"},
      {" a b ", "a b", "a b"},
      {"\u3000\u00A0word\u2028", "word", "word\u2028"},
      {"\u2029\u0085x\u3000y\u0085", "x\u3000y", "\u2029\u0085x\u3000y\u0085"},
      {"\n  two  words \n", "two  words", "\n  two  words \n"},
      {"\u200Bz\u200B", "\u200Bz\u200B", "\u200Bz\u200B"},  // zero-width space is not white space
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CaptionText::trimmed(c.in), c.out) << c.in;
    EXPECT_EQ(CaptionText::trimmedHorizontal(c.in), c.horizontal) << c.in;
  }
}

TEST(CaptionTextTest, WordsSplitAtEveryWhitespaceAndDropEmptyPieces) {
  EXPECT_EQ(CaptionText::words(""), std::vector<std::string>{});
  EXPECT_EQ(CaptionText::words(" \u3000\n"), std::vector<std::string>{});
  EXPECT_EQ(CaptionText::words("  a\tb\u00A0\u00A0c\u2028d  "),
            (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(CaptionText::words("caf\u00E9\u3000na\u00EFve"),
            (std::vector<std::string>{"caf\u00E9", "na\u00EFve"}));
}

TEST(CaptionTextTest, LowercasedUsesFullLocaleIndependentMapping) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"ABC xyz", "abc xyz"},
      {"STRASSE Stra\u00DFe", "strasse stra\u00DFe"},  // sharp s has no single lower form change
      {"\u1E9E", "\u00DF"},                            // capital sharp s lowers to sharp s
      {"\u0130", "i\u0307"},                           // dotted capital I: i + combining dot
      {"I", "i"},                                      // no Turkish rule without a locale
      {"\u039F\u0394\u039F\u03A3", "\u03BF\u03B4\u03BF\u03C2"},  // final sigma at word end
      {"\u03A3\u0391", "\u03C3\u03B1"},                          // medial sigma
      {"\u00C9COLE", "\u00E9cole"},
      {"\u0410\u0411\u0412", "\u0430\u0431\u0432"},
  };
  for (const Case& c : cases) EXPECT_EQ(CaptionText::lowercased(c.in), c.out) << c.in;
}

// Ill-formed UTF-8 must neither crash nor be dropped: the bytes are kept and are not white space.
TEST(CaptionTextTest, IllFormedUtf8AndNulBytesAreKept) {
  const std::string bad =
      "\xFF"
      "A\xC3"
      " \xE2\x80"
      "B\xED\xA0\x80";
  EXPECT_EQ(CaptionText::trimmed(" " + bad + " "), bad);
  EXPECT_EQ(CaptionText::lowercased(bad),
            "\xFF"
            "a\xC3"
            " \xE2\x80"
            "b\xED\xA0\x80");
  EXPECT_EQ(CaptionText::words("\xFF \xFE"), (std::vector<std::string>{"\xFF", "\xFE"}));
  EXPECT_EQ(CaptionText::trimmed("\xC2"), "\xC2");  // truncated sequence at the end
  EXPECT_EQ(CaptionText::trimmed("\xC2\xA0"), "");  // the same lead byte completed is U+00A0

  const std::string withNul = "\0A\0"s;
  EXPECT_EQ(CaptionText::trimmed(" "s + withNul + " "s), withNul);
  EXPECT_EQ(CaptionText::lowercased("\0\u00C0\0"s), "\0\u00E0\0"s);
}

}  // namespace
}  // namespace quorvel
