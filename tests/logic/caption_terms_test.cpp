// Normalising untrusted contextual terms: white space, blanks, case-insensitive repeats, the cap.
#include "caption_engine/logic/caption_terms.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorvel {
namespace {

using List = std::vector<std::string>;

TEST(CaptionTermsTest, NormaliseCases) {
  struct Case {
    const char* name;
    List in;
    List out;
  };
  const Case cases[] = {
      {"empty", {}, {}},
      {"blanks", {"", " ", "\t\n", "\u3000\u00A0\u2028"}, {}},
      {"collapse", {"  Quorvel\tCaptions\n"}, {"Quorvel Captions"}},
      {"unicode spaces", {"a\u3000\u3000b\u00A0c\u2028d"}, {"a b c d"}},
      {"case repeats", {"Kubernetes", "KUBERNETES", "kubernetes"}, {"Kubernetes"}},
      {"inner space repeats", {"New York", "New   York", "new\tyork"}, {"New York"}},
      {"case kept", {"McDonald", "iPhone"}, {"McDonald", "iPhone"}},
      {"order kept", {"b", "a", "B", "c"}, {"b", "a", "c"}},
      {"greek final sigma", {"ΟΔΟΣ", "οδος"}, {"ΟΔΟΣ"}},
      {"german sharp s", {"STRASSE", "strasse", "Straße"}, {"STRASSE", "Straße"}},
      {"capital sharp s", {"\u1E9E", "\u00DF"}, {"\u1E9E"}},
      {"dotted capital I",
       {"\u0130stanbul", "i\u0307stanbul", "istanbul"},
       {"\u0130stanbul", "istanbul"}},
  };
  for (const Case& c : cases) EXPECT_EQ(CaptionTerms::normalise(c.in), c.out) << c.name;
}

TEST(CaptionTermsTest, KeepsAtMost500Terms) {
  List distinct;
  for (int i = 0; i < 600; ++i) distinct.push_back("term" + std::to_string(i));
  List out = CaptionTerms::normalise(distinct);
  ASSERT_EQ(out.size(), CaptionTerms::maxTerms);
  EXPECT_EQ(out.front(), "term0");
  EXPECT_EQ(out.back(), "term499");

  List repeated(150, "Same");
  for (int i = 0; i < 550; ++i) repeated.push_back("w" + std::to_string(i));
  out = CaptionTerms::normalise(repeated);
  ASSERT_EQ(out.size(), 500u);
  EXPECT_EQ(out[0], "Same");
  EXPECT_EQ(out[1], "w0");
  EXPECT_EQ(out[499], "w498");
}

TEST(CaptionTermsTest, IllFormedUtf8IsKeptNotSplit) {
  EXPECT_EQ(CaptionTerms::normalise({"\xFF"
                                     "a \xFE",
                                     "\xFF"
                                     "A \xFE"}),
            (List{"\xFF"
                  "a \xFE"}));
}

}  // namespace
}  // namespace quorvel
