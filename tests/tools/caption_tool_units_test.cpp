// The captioner's own rules: its command line and its subtitle formats.
#include <gtest/gtest.h>

#include "tools/quorvel-caption/caption_cli_options.h"
#include "tools/quorvel-caption/caption_subtitles.h"

namespace quorvel::tools {
namespace {

TEST(CaptionSubtitles, TimestampsUseTheFormatsSeparator) {
  EXPECT_EQ(CaptionSubtitles::timestamp(1234, ','), "00:00:01,234");
  EXPECT_EQ(CaptionSubtitles::timestamp(1234, '.'), "00:00:01.234");
  EXPECT_EQ(CaptionSubtitles::timestamp(0, ','), "00:00:00,000");
  EXPECT_EQ(CaptionSubtitles::timestamp(3'723'004, ','), "01:02:03,004");
  EXPECT_EQ(CaptionSubtitles::timestamp(100 * 3'600'000LL + 5, '.'), "100:00:00.005");
  EXPECT_EQ(CaptionSubtitles::timestamp(-40, ','), "00:00:00,000");
}

TEST(CaptionSubtitles, SrtNumbersCuesFromOne) {
  const std::vector<CaptionCue> cues{{1234, 2000, "hello there"}, {2500, 2400, "two\nlines"}};
  EXPECT_EQ(CaptionSubtitles::srt(cues),
            "1\n00:00:01,234 --> 00:00:02,000\nhello there\n\n"
            // An end before its start is raised to the start; a line break would end the cue.
            "2\n00:00:02,500 --> 00:00:02,500\ntwo lines\n\n");
  EXPECT_EQ(CaptionSubtitles::srt({}), "");
}

TEST(CaptionSubtitles, VttHasItsHeaderAndEscapesMarkup) {
  const std::vector<CaptionCue> cues{{1234, 2000, "a <b> & c"}};
  EXPECT_EQ(CaptionSubtitles::vtt(cues),
            "WEBVTT\n\n00:00:01.234 --> 00:00:02.000\na &lt;b&gt; &amp; c\n\n");
  EXPECT_EQ(CaptionSubtitles::vtt({}), "WEBVTT\n\n");
}

TEST(CaptionCliOptions, DefaultsCaptionTheDefaultInputInEnUs) {
  auto parsed = CaptionCliOptions::parse({});
  ASSERT_TRUE(std::holds_alternative<CaptionCliOptions>(parsed));
  const auto& o = std::get<CaptionCliOptions>(parsed);
  EXPECT_FALSE(o.file);
  EXPECT_FALSE(o.input);
  EXPECT_EQ(o.locale, "en-US");
  EXPECT_TRUE(o.paced);
}

TEST(CaptionCliOptions, ReadsEveryOption) {
  auto parsed = CaptionCliOptions::parse({"--locale", "en-GB", "--terms=alpha,beta gamma,,delta",
                                          "--profanity-filter", "--unpaced", "--srt", "a.srt",
                                          "--vtt=b.vtt", "--meter", "talk.wav"});
  ASSERT_TRUE(std::holds_alternative<CaptionCliOptions>(parsed));
  const auto& o = std::get<CaptionCliOptions>(parsed);
  EXPECT_EQ(o.locale, "en-GB");
  EXPECT_EQ(o.terms, (std::vector<std::string>{"alpha", "beta gamma", "", "delta"}));
  EXPECT_TRUE(o.profanityFilter);
  EXPECT_FALSE(o.paced);
  EXPECT_EQ(o.srtPath, "a.srt");
  EXPECT_EQ(o.vttPath, "b.vtt");
  EXPECT_TRUE(o.meter);
  EXPECT_EQ(o.file, "talk.wav");
  auto fast = CaptionCliOptions::parse({"--fast-as-decoded", "--input", "mic-1"});
  ASSERT_TRUE(std::holds_alternative<CaptionCliOptions>(fast));
  EXPECT_FALSE(std::get<CaptionCliOptions>(fast).paced);
  EXPECT_EQ(std::get<CaptionCliOptions>(fast).input, "mic-1");
}

TEST(CaptionCliOptions, RefusesBadCombinationsWithAReason) {
  const std::vector<std::vector<std::string>> bad{
      {"--bogus"},
      {"--locale"},
      {"--locale", " "},
      {"a.wav", "b.wav"},
      {"--input", "mic", "a.wav"},
      {"--list-inputs", "a.wav"},
      {"--install-locale", "en-US", "--input", "mic"},
      {"--srt", "x", "--vtt", "x"},
      {"--unpaced=yes"},
      {"--meter=1"},
  };
  for (const auto& args : bad) {
    auto parsed = CaptionCliOptions::parse(args);
    ASSERT_TRUE(std::holds_alternative<CaptionCliOptions::Error>(parsed)) << args[0];
    EXPECT_FALSE(std::get<CaptionCliOptions::Error>(parsed).message.empty());
  }
}

}  // namespace
}  // namespace quorvel::tools
