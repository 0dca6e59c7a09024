// The dictionary file read as text: the excerpt a decoder loads, and the pronunciations of words
// looked up in the whole file.
#include "caption_engine/runtime/sphinx/sphinx_dictionary.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "speech_test_support.h"

namespace quorvel::speech {
namespace {

using namespace quorvel::speech::testing;

// A small dictionary with variants, tabs, a line without phones and a blank line.
const char* const kDictionary =
    "read R EH D\n"
    "read(2) R IY D\n"
    "reader\tR IY D ER\n"
    "orphan\n"
    "\n"
    "red R EH D\n"
    "zebra(2) Z IY B R AH\n";

std::filesystem::path writeDictionary(const TempDir& dir) {
  const auto path = dir.path() / "test.dict";
  std::ofstream(path) << kDictionary;
  return path;
}

TEST(SphinxDictionary, BaseWordsDropOnlyAVariantNumber) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"read", "read"}, {"read(2)", "read"}, {"(2)", "(2)"}, {"a()", "a"}, {"x(12)", "x"}};
  for (const auto& [word, base] : cases) EXPECT_EQ(dictionaryBaseWord(word), base) << word;
}

TEST(SphinxDictionary, TheExcerptKeepsTheLinesOfAcceptedWordsWithTheirVariantsInOrder) {
  TempDir dir;
  const auto path = writeDictionary(dir);
  SphinxDictionaryExcerpt excerpt(path,
                                  [](std::string_view w) { return w == "read" || w == "red"; });
  ASSERT_TRUE(excerpt.path().has_value());
  EXPECT_EQ(excerpt.lines(), 3u);
  std::ifstream in(*excerpt.path());
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "read R EH D\nread(2) R IY D\nred R EH D\n");
}

TEST(SphinxDictionary, PronunciationsOfWordsComeInTheFilesOrderAndMissingWordsAreLeftOut) {
  TempDir dir;
  const auto path = writeDictionary(dir);
  const auto found = dictionaryPronunciations(path, {"read", "reader", "zebra", "orphan", "nope"});
  const std::map<std::string, std::vector<std::string>> expected = {
      {"read", {"R EH D", "R IY D"}}, {"reader", {"R IY D ER"}}, {"zebra", {"Z IY B R AH"}}};
  EXPECT_EQ(found, expected);
  EXPECT_TRUE(dictionaryPronunciations(dir.path() / "missing.dict", {"read"}).empty());
}

}  // namespace
}  // namespace quorvel::speech
