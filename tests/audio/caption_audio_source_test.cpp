// Hashing of the audio source and input values: std::hash agrees with equality, so both can be
// kept in unordered sets.
#include "caption_engine/base/caption_audio_source.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace quorvel {
namespace {

// Equal values (the pairs) hash alike and are one element of a set; distinct values stay apart in
// a set, and no two of them hash alike, so every field equality compares feeds the hash.
template <class T>
void expectHashingAgreesWithEquality(const std::vector<std::pair<T, T>>& equal,
                                     const std::vector<T>& distinct) {
  const std::hash<T> hash;
  for (size_t i = 0; i < equal.size(); ++i) {
    SCOPED_TRACE("equal pair " + std::to_string(i));
    const auto& [a, b] = equal[i];
    EXPECT_TRUE(a == b);
    EXPECT_EQ(hash(a), hash(b));
    EXPECT_EQ((std::unordered_set<T>{a, b}.size()), 1u);
  }
  std::unordered_set<T> set;
  std::unordered_set<size_t> hashes;
  for (size_t i = 0; i < distinct.size(); ++i) {
    SCOPED_TRACE("distinct value " + std::to_string(i));
    EXPECT_TRUE(set.insert(distinct[i]).second) << "equal to an earlier value";
    EXPECT_TRUE(hashes.insert(hash(distinct[i])).second) << "hashes like an earlier value";
  }
  for (const T& value : distinct) EXPECT_EQ(set.count(value), 1u);
}

// A source is its case and payload: sources differing only in pacing are two sources, and the
// same text as a device id and as a file path is not the same source.
TEST(CaptionAudioSourceHash, SourcesHashTheirCaseAndPayload) {
  using Source = CaptionAudioSource;
  expectHashingAgreesWithEquality<Source>(
      {{Source::file("/tmp/talk.wav", true), Source::file(std::string("/tmp/") + "talk.wav", true)},
       {Source::device("ci_mic"), Source::device("ci_mic")},
       {Source::systemDefault(), Source::systemDefault()}},
      {Source::file("/tmp/talk.wav", true), Source::file("/tmp/talk.wav", false),
       Source::file("/tmp/other.wav", true), Source::file("", false),
       Source::device("/tmp/talk.wav"), Source::device("ci_mic"), Source::device(""),
       Source::systemDefault()});
}

TEST(CaptionAudioSourceHash, InputsHashAllTheirFields) {
  using Kind = CaptionAudioInputKind;
  const CaptionAudioInput input{"ci_mic", "CI-Mic", true, Kind::usb, std::nullopt};
  expectHashingAgreesWithEquality<CaptionAudioInput>(
      {{input, CaptionAudioInput{"ci_mic", "CI-Mic", true, Kind::usb, std::nullopt}}},
      {input,
       {"ci_mic2", "CI-Mic", true, Kind::usb, std::nullopt},
       {"ci_mic", "CI-Mic 2", true, Kind::usb, std::nullopt},
       {"ci_mic", "CI-Mic", false, Kind::usb, std::nullopt},
       {"ci_mic", "CI-Mic", true, Kind::other, std::nullopt},
       {"ci_mic", "CI-Mic", true, Kind::usb, ""},
       {"ci_mic", "CI-Mic", true, Kind::usb, "what this machine plays"}});
}

}  // namespace
}  // namespace quorvel
