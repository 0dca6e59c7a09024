// The service's pure rules: locale equivalence, hypothesis text, profanity masking, the volatile
// throttle, and how contextual terms become words, a language model and pronunciations.
#include <gtest/gtest.h>

#include <map>

#include "caption_engine/runtime/sphinx/context_terms.h"
#include "caption_engine/runtime/sphinx/sphinx_locale.h"
#include "caption_engine/runtime/sphinx/sphinx_text.h"
#include "caption_engine/runtime/sphinx/volatile_throttle.h"
#include "tests/support/speech_evaluation.h"

namespace quorvel::speech {
namespace {

TEST(SphinxLocale, CanonicalFormsOfTags) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"en-US", "en-US"},
      {"en_US", "en-US"},
      {"EN-us", "en-US"},
      {" en-us ", "en-US"},
      {"en_US.UTF-8", "en-US"},
      {"de_DE@euro", "de-DE"},
      {"en", "en"},
      {"zh-hant-tw", "zh-Hant-TW"},
      {"es-419", "es-419"},
      {"en-US-u-ca-gregory", "en-US"},
      {"en-x-private", "en"},
      {"sl-rozaj-biske", "sl-rozaj-biske"},
      {"", std::nullopt},
      {"-", std::nullopt},
      {"en--US", std::nullopt},
      {"e", std::nullopt},
      {"english", std::nullopt},
      {"en-US/../x", std::nullopt},
      {"12-US", std::nullopt},
      {"en-USA1", std::nullopt},
  };
  for (const auto& [tag, expected] : cases) {
    EXPECT_EQ(canonicalLocaleTag(tag), expected) << "tag \"" << tag << "\"";
  }
  EXPECT_TRUE(equivalentLocaleTags("en_GB", "EN-gb"));
  EXPECT_FALSE(equivalentLocaleTags("en", "en-US"));
  EXPECT_FALSE(equivalentLocaleTags("", ""));
}

TEST(SphinxText, HypothesesLoseFillersAndVariants) {
  EXPECT_EQ(cleanHypothesis("<s> he was(2) <sil> not [NOISE] an(2) ++BREATH++ man </s>"),
            "he was not an man");
  EXPECT_EQ(cleanHypothesis("  "), "");
  EXPECT_EQ(cleanHypothesis("[SPEECH] <sil>"), "");
  // Only a parenthesised number at the end is a variant.
  EXPECT_EQ(baseWord("to(3)"), "to");
  EXPECT_EQ(baseWord("(2)"), "(2)");
  EXPECT_EQ(baseWord("a(b)"), "a(b)");
  EXPECT_EQ(baseWord("x()"), "x()");
}

TEST(SphinxText, ProfanitiesAreMaskedAfterTheirFirstLetter) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"oh shit", "oh s***"},
      {"Fucking hell", "F****** hell"},
      {"what the fuck.", "what the f***."},
      {"fuckin' great", "f*****' great"},
      {"SHIT", "S***"},
      {"class passes assess", "class passes assess"},  // no match inside other words
      {"scunthorpe", "scunthorpe"},
      {"", ""},
      {"bastard, bitch", "b******, b****"},
  };
  for (const auto& [text, masked] : cases) EXPECT_EQ(maskProfanities(text), masked) << text;
}

TEST(VolatileThrottle, SlowModeSpacesByAudioTimeAndResetsOnFinal) {
  VolatileThrottle slow(false, 4000);
  EXPECT_TRUE(slow.admit(1600));
  EXPECT_FALSE(slow.admit(3200));
  EXPECT_FALSE(slow.admit(5599));
  EXPECT_TRUE(slow.admit(5600));
  slow.noteFinal();
  EXPECT_TRUE(slow.admit(5700));

  VolatileThrottle fast(true, 4000);
  EXPECT_TRUE(fast.admit(1600));
  EXPECT_TRUE(fast.admit(1700));
}

TEST(ContextTerms, TermsBecomeDictionaryWords) {
  auto words = contextTermWords({"Mister Dashwood", "  ", "don't-stop", "'Quoted'", "R2D2"});
  ASSERT_EQ(words.size(), 4u);
  EXPECT_EQ(words[0], (std::vector<std::string>{"mister", "dashwood"}));
  EXPECT_EQ(words[1], (std::vector<std::string>{"don't", "stop"}));
  EXPECT_EQ(words[2], (std::vector<std::string>{"quoted"}));
  EXPECT_EQ(words[3], (std::vector<std::string>{"r2d2"}));
}

TEST(ContextTerms, LanguageModelHasUnigramsAndTermBigrams) {
  std::string arpa = contextLanguageModelArpa({{"mister", "dashwood"}, {"norland"}, {"r2d2"}});
  EXPECT_NE(arpa.find("ngram 1=5\n"), std::string::npos) << arpa;  // 3 words + <s> + </s>
  EXPECT_NE(arpa.find("ngram 2=1\n"), std::string::npos) << arpa;
  EXPECT_NE(arpa.find(" mister dashwood\n"), std::string::npos) << arpa;
  EXPECT_EQ(arpa.find("r2d2"), std::string::npos) << "unpronounceable words are left out";
  EXPECT_NE(arpa.find("\\end\\"), std::string::npos);
  EXPECT_EQ(contextLanguageModelArpa({{"42"}}), "");
  EXPECT_EQ(contextLanguageModelArpa({}), "");
}

TEST(ContextTerms, PronunciationsReuseKnownPiecesAndSpellTheRest) {
  const std::map<std::string, std::string> dictionary = {{"book", "B UH K"}, {"face", "F EY S"}};
  PronunciationLookup lookup = [&](const std::string& w) -> std::optional<std::string> {
    auto it = dictionary.find(w);
    if (it == dictionary.end()) return std::nullopt;
    return it->second;
  };
  EXPECT_EQ(guessPronunciation("facebook", lookup), "F EY S B UH K");
  EXPECT_EQ(guessPronunciation("bookish", lookup), "B UH K IH SH");
  EXPECT_EQ(guessPronunciation("Quorvel", lookup), "K W AO R V EH L");
  EXPECT_EQ(guessPronunciation("shipping", lookup), "SH IH P IH NG");
  EXPECT_EQ(guessPronunciation("lane", lookup), "L AE N");
  EXPECT_EQ(guessPronunciation("1234", lookup), std::nullopt);
}

TEST(SpeechEvaluation, WordErrorsCountSubstitutionsDeletionsAndInsertions) {
  EXPECT_EQ(wordErrors("<s> he was not an ill disposed young man </s> (file-0880)",
                       "he was not an ill disposed young man")
                .errors,
            0u);
  WordErrors e =
      wordErrors("he was not an ill disposed young man", "he was not until this blows young man");
  EXPECT_EQ(e.referenceWords, 8u);
  EXPECT_EQ(e.errors, 3u);  // "an ill disposed" read as "until this blows"
  EXPECT_EQ(wordErrors("a b c", "").errors, 3u);
  EXPECT_EQ(wordErrors("", "a b").errors, 2u);
}

}  // namespace
}  // namespace quorvel::speech
