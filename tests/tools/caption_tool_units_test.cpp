// The captioner's own rules: its command line, its subtitle cues and formats, its subtitle files,
// its messages and its --json lines.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "tests/support/temp_dir.h"
#include "tools/quorvel-caption/caption_cli_options.h"
#include "tools/quorvel-caption/caption_cues.h"
#include "tools/quorvel-caption/caption_json_lines.h"
#include "tools/quorvel-caption/caption_line_wrap.h"
#include "tools/quorvel-caption/caption_messages.h"
#include "tools/quorvel-caption/caption_subtitle_file.h"
#include "tools/quorvel-caption/caption_subtitles.h"
#include "tools/quorvel-caption/caption_view.h"

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
  const std::vector<CaptionCue> cues{{1234, 2000, {"hello there", "and here"}},
                                     {2500, 2400, {"two\nwords", " ", ""}}};
  EXPECT_EQ(CaptionSubtitles::srt(cues),
            "1\n00:00:01,234 --> 00:00:02,000\nhello there\nand here\n\n"
            // An end before its start is raised to the start; a line break inside a line, or an
            // empty line, would end the cue.
            "2\n00:00:02,500 --> 00:00:02,500\ntwo words\n\n");
  EXPECT_EQ(CaptionSubtitles::srt({}), "");
}

TEST(CaptionSubtitles, VttHasItsHeaderAndEscapesMarkup) {
  const std::vector<CaptionCue> cues{{1234, 2000, {"a <b> & c", "d"}}};
  EXPECT_EQ(CaptionSubtitles::vtt(cues),
            "WEBVTT\n\n00:00:01.234 --> 00:00:02.000\na &lt;b&gt; &amp; c\nd\n\n");
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
      {"--json=1"},
      {"--max-line-length", "0"},
      {"--max-line-length", "-5"},
      {"--max-line-length", "4.5"},
      {"--max-line-length", "forty"},
      {"--max-line-length"},
      {"--max-cue-seconds", "0"},
      {"--max-cue-seconds", "-1"},
      {"--max-cue-seconds", "1e3"},
      {"--max-cue-seconds", "9999"},
      {"--max-cue-seconds", "."},
      {"-", "a.wav"},
      {"--input", "mic", "-"},
  };
  for (const auto& args : bad) {
    auto parsed = CaptionCliOptions::parse(args);
    ASSERT_TRUE(std::holds_alternative<CaptionCliOptions::Error>(parsed)) << args[0];
    EXPECT_FALSE(std::get<CaptionCliOptions::Error>(parsed).message.empty());
  }
}

TEST(CaptionCliOptions, ReadsTheScriptingAndSubtitleOptions) {
  auto parsed =
      CaptionCliOptions::parse({"--json", "--max-line-length", "30", "--max-cue-seconds=2.5", "-"});
  ASSERT_TRUE(std::holds_alternative<CaptionCliOptions>(parsed));
  const auto& o = std::get<CaptionCliOptions>(parsed);
  EXPECT_TRUE(o.json);
  EXPECT_EQ(o.maxLineLength, 30u);
  EXPECT_DOUBLE_EQ(o.maxCueSeconds, 2.5);
  EXPECT_TRUE(o.readsStandardInput());
  const auto defaults = std::get<CaptionCliOptions>(CaptionCliOptions::parse({"talk.wav"}));
  EXPECT_EQ(defaults.maxLineLength, 42u);
  EXPECT_DOUBLE_EQ(defaults.maxCueSeconds, 7.0);
  EXPECT_FALSE(defaults.json);
  EXPECT_FALSE(defaults.readsStandardInput());
  // --version wins over the other options, as --help does.
  auto version = CaptionCliOptions::parse({"a.wav", "--input", "mic", "--version"});
  ASSERT_TRUE(std::holds_alternative<CaptionCliOptions>(version));
  EXPECT_TRUE(std::get<CaptionCliOptions>(version).version);
}

TEST(CaptionLineWrap, BreaksOnlyBetweenWordsAndCountsCharactersNotBytes) {
  using CaptionLineWrap::words;
  using CaptionLineWrap::wrap;
  EXPECT_EQ(CaptionLineWrap::width("café naïve"), 10u);
  EXPECT_EQ(wrap(words("the quick brown fox jumps"), 10),
            (std::vector<std::string>{"the quick", "brown fox", "jumps"}));
  // Ten characters of two-byte letters still fit in ten columns.
  EXPECT_EQ(wrap(words("éééé ééééé ab"), 10), (std::vector<std::string>{"éééé ééééé", "ab"}));
  // A word wider than a line is cut between characters, never inside one.
  EXPECT_EQ(wrap(words("ééééééé x"), 3), (std::vector<std::string>{"ééé", "ééé", "é x"}));
  EXPECT_TRUE(wrap({}, 10).empty());
}

TEST(CaptionLineWrap, TwoLinesAreBalancedAndThreeAreRefused) {
  using CaptionLineWrap::balancedTwoLines;
  using CaptionLineWrap::words;
  EXPECT_EQ(balancedTwoLines(words("short line"), 42), (std::vector<std::string>{"short line"}));
  // Greedy filling would leave "seven" alone on the second line.
  EXPECT_EQ(balancedTwoLines(words("one two three four five six seven"), 30),
            (std::vector<std::string>{"one two three four", "five six seven"}));
  EXPECT_EQ(balancedTwoLines(words("aaaa bbbb cccc"), 9),
            (std::vector<std::string>{"aaaa", "bbbb cccc"}));
  EXPECT_TRUE(balancedTwoLines(words("aaaa bbbb cccc dddd eeee"), 9).empty());
}

// What every cue of a subtitle track must satisfy, and that no word went missing.
void expectConventionalCues(const std::vector<CaptionCue>& cues, const std::string& text,
                            size_t maxLine, int64_t maxMs) {
  std::string shown;
  int64_t previousEnd = 0;
  for (const CaptionCue& cue : cues) {
    SCOPED_TRACE(cue.lines.empty() ? "" : cue.lines.front());
    EXPECT_GE(cue.lines.size(), 1u);
    EXPECT_LE(cue.lines.size(), 2u);
    for (const std::string& line : cue.lines) {
      EXPECT_LE(CaptionLineWrap::width(line), maxLine) << line;
      shown += (shown.empty() ? "" : " ") + line;
    }
    EXPECT_GE(cue.tStartMs, previousEnd) << "cues never overlap";
    EXPECT_GE(cue.tEndMs, cue.tStartMs);
    EXPECT_LE(cue.tEndMs - cue.tStartMs, maxMs);
    previousEnd = cue.tEndMs;
  }
  EXPECT_EQ(shown, text);
}

// A final the length of the ones continuous speech gives (441 characters in 30 s): it used to be
// one cue of one line.
TEST(CaptionCueSplitter, ALongFinalBecomesConventionalCuesAtItsWordTimes) {
  std::vector<CaptionWord> words;
  std::string text;
  const std::vector<std::string> vocabulary{"the",  "family", "of",      "dashwood", "had",
                                            "long", "been",   "settled", "in",       "sussex"};
  int64_t at = 1000;
  while (text.size() < 441) {
    const std::string& w = vocabulary[words.size() % vocabulary.size()];
    const int64_t length = 120 + 40 * static_cast<int64_t>(w.size());
    words.push_back({w, at, at + length});
    text += (text.empty() ? "" : " ") + w;
    at += length + 30;
  }
  CaptionCueSplitter splitter;
  const std::vector<CaptionCue> cues = splitter.split(text, 1000, at, words);
  ASSERT_GE(cues.size(), 5u);
  expectConventionalCues(cues, text, 42, 7000);
  // Each cue starts with its first word and ends with its last.
  size_t word = 0;
  for (const CaptionCue& cue : cues) {
    EXPECT_EQ(cue.tStartMs, words[word].tStartMs);
    for (const std::string& line : cue.lines) word += CaptionLineWrap::words(line).size();
    EXPECT_EQ(cue.tEndMs, words[word - 1].tEndMs);
  }
}

TEST(CaptionCueSplitter, TheTimeLimitCutsACueThatWouldStillFit) {
  // Four short words a second and a half apart: they fit on one line, not in three seconds.
  const std::vector<CaptionWord> words{
      {"one", 0, 500}, {"two", 1500, 2000}, {"three", 3000, 3500}, {"four", 4500, 5000}};
  CaptionCueSplitter splitter(CaptionCueLimits{42, 3000});
  EXPECT_EQ(splitter.split("one two three four", 0, 5000, words),
            (std::vector<CaptionCue>{{0, 2000, {"one two"}}, {3000, 5000, {"three four"}}}));
}

TEST(CaptionCueSplitter, CustomLimitsAndNoWordTimes) {
  // Without word times the words share the final's range by their length.
  const std::string text =
      "without word times the words share the range of their final in proportion to length";
  CaptionCueSplitter splitter(CaptionCueLimits{20, 60000});
  const std::vector<CaptionCue> cues = splitter.split(text, 10000, 18500, {});
  ASSERT_GE(cues.size(), 3u);
  expectConventionalCues(cues, text, 20, 60000);
  EXPECT_EQ(cues.front().tStartMs, 10000);
  EXPECT_LE(cues.back().tEndMs, 18500);
  EXPECT_GT(cues.back().tEndMs, 17500);
}

TEST(CaptionCueSplitter, CuesOfLaterFinalsNeverOverlapEarlierOnes) {
  CaptionCueSplitter splitter;
  const auto first =
      splitter.split("first words", 1000, 3000, {{"first", 1000, 2000}, {"words", 2000, 3000}});
  // The next final's words begin before the last cue ended (recognizers may overlap a little).
  const auto second = splitter.split("next", 2800, 3600, {{"next", 2800, 3600}});
  ASSERT_EQ(first.size(), 1u);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second.front().tStartMs, 3000);
  EXPECT_EQ(second.front().tEndMs, 3600);
  // A word held longer than a cue may last is cut short; a word wider than a line is cut up.
  const auto held = splitter.split("mmmmmmmm", 4000, 20000, {{"mmmmmmmm", 4000, 20000}});
  EXPECT_EQ(held, (std::vector<CaptionCue>{{4000, 11000, {"mmmmmmmm"}}}));
  CaptionCueSplitter narrow(CaptionCueLimits{4, 7000});
  EXPECT_EQ(narrow.split("abcdefghij", 0, 1000, {{"abcdefghij", 0, 1000}}),
            (std::vector<CaptionCue>{{0, 400, {"abcd"}}, {400, 1000, {"efgh", "ij"}}}));
}

// Filled greedily, a final's last cue can be a word or two on screen for a moment; the last two
// cues share their words out instead.
TEST(CaptionCueSplitter, TheLastCueOfAFinalIsNotLeftWithAWordAlone) {
  std::vector<CaptionWord> words;
  std::string text;
  for (int i = 0; i < 9; ++i) {
    const std::string w = i == 8 ? "end" : "word" + std::to_string(i) + "xx";  // 7 characters
    words.push_back({w, i * 500, i * 500 + 400});
    text += (text.empty() ? "" : " ") + w;
  }
  CaptionCueSplitter splitter(CaptionCueLimits{16, 7000});
  const std::vector<CaptionCue> cues = splitter.split(text, 0, 4400, words);
  // Greedy: two words a line, so 4 + 4 + 1 words; shared out: 4 + 2 + 3.
  ASSERT_EQ(cues.size(), 3u);
  expectConventionalCues(cues, text, 16, 7000);
  EXPECT_EQ(cues[1].lines, (std::vector<std::string>{"word4xx word5xx"}));
  EXPECT_EQ(cues[2].lines, (std::vector<std::string>{"word6xx", "word7xx end"}));
  EXPECT_EQ(cues[1].tEndMs, 2900);
  EXPECT_EQ(cues[2].tStartMs, 3000);
}

// A temporary directory whose files a test writes as it names them.
class TempDirectory : public support::TempDir {
 public:
  TempDirectory() : support::TempDir("quorvel-caption-units") {}
  std::string file(const std::string& name, const std::optional<std::string>& content = {}) const {
    const std::string p = support::TempDir::file(name);
    if (content) std::ofstream(p, std::ios::binary) << *content;
    return p;
  }
};

TEST(CaptionSubtitleFile, KnowsEachFormatByItsBeginning) {
  using F = CaptionSubtitleFormat;
  const std::vector<std::tuple<std::string, F, bool>> cases{
      {"1\n00:00:01,000 --> 00:00:02,000\nhello\n", F::srt, true},
      {"\xEF\xBB\xBF\r\n\r\n12\r\n01:02:03,4 --> 01:02:04,500\r\n", F::srt, true},
      {"1\n00:00:01.000 --> 00:00:02.000\n", F::srt, true},
      {"WEBVTT\n\n00:00:01.000 --> 00:00:02.000\nhello\n", F::srt, false},
      {"RIFF\x24\x08\0\0WAVEfmt ", F::srt, false},
      {"hello\n00:00:01,000 --> 00:00:02,000\n", F::srt, false},
      {"WEBVTT\n\n", F::vtt, true},
      {"\xEF\xBB\xBFWEBVTT - a title\n", F::vtt, true},
      {"WEBVTT", F::vtt, true},
      {"WEBVTTX\n", F::vtt, false},
      {"1\n00:00:01,000 --> 00:00:02,000\n", F::vtt, false},
  };
  for (const auto& [head, format, expected] : cases) {
    EXPECT_EQ(CaptionSubtitleFile::looksLike(head, format), expected) << head;
  }
}

// `--srt lecture.m4a` used to empty the recording; `--srt in.wav in.wav` the input.
TEST(CaptionSubtitleFile, RefusesPathsThatWouldDestroyAFile) {
  TempDirectory dir;
  const std::string audio = dir.file("in.wav", std::string("RIFF....WAVEfmt ", 16));
  const std::string srt = dir.file("old.srt", "1\n00:00:01,000 --> 00:00:02,000\nhi\n\n");
  const std::string vtt = dir.file("old.vtt", "WEBVTT\n\n");
  const std::string empty = dir.file("empty.srt", "");
  const std::string notes = dir.file("notes.txt", "my notes\n");
  std::filesystem::create_symlink(audio, dir.file("link.srt"));
  std::filesystem::create_directory(dir.file("folder"));
  using F = CaptionSubtitleFormat;
  struct Case {
    std::string path;
    F format;
    bool refused;
  };
  const std::vector<Case> cases{
      {audio, F::srt, true},
      {dir.file("") + "./in.wav", F::vtt, true},  // the same file by another spelling
      {dir.file("link.srt"), F::srt, true},       // a link to the audio
      {notes, F::srt, true},
      {vtt, F::srt, true},  // a subtitle file, but of the other format
      {srt, F::vtt, true},
      {dir.file("folder"), F::srt, true},
      {srt, F::srt, false},
      {vtt, F::vtt, false},
      {empty, F::vtt, false},
      {dir.file("new.srt"), F::srt, false},
  };
  for (const Case& c : cases) {
    const auto refusal = CaptionSubtitleFile::refusal(c.path, c.format, audio);
    EXPECT_EQ(refusal.has_value(), c.refused) << c.path << ": " << refusal.value_or("");
    if (refusal) {
      EXPECT_NE(refusal->find(c.path), std::string::npos) << *refusal;
    }
  }
  // Reading standard input there is no audio file; a recording is still no subtitle file.
  EXPECT_TRUE(CaptionSubtitleFile::refusal(audio, F::srt, std::nullopt).has_value());
}

TEST(CaptionSubtitleFile, ReplacesTheFileWholeAndLeavesNothingBeside) {
  TempDirectory dir;
  const std::string path = dir.file("talk.srt", "1\n00:00:00,000 --> 00:00:01,000\nold\n\n");
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  CaptionSubtitleFile file(path);
  EXPECT_FALSE(file.cannotWrite());
  ASSERT_FALSE(file.replace("new content\n"));
  std::ifstream in(path);
  std::stringstream content;
  content << in.rdbuf();
  EXPECT_EQ(content.str(), "new content\n");
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u) << "the file keeps its permissions";
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"talk.srt"}));

  // A replace that cannot land (the path is a directory) leaves it as it was and no temporary
  // file behind.
  std::filesystem::create_directory(dir.file("taken"));
  CaptionSubtitleFile blocked(dir.file("taken"));
  EXPECT_TRUE(blocked.replace("x", true).has_value());
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("taken")));
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"taken", "talk.srt"}));
  EXPECT_TRUE(CaptionSubtitleFile(dir.file("missing/x.srt")).cannotWrite().has_value());
}

// Our tools word their own messages: nothing of another platform, no protocol field names.
TEST(CaptionMessages, SpeakOfThisMachineAndTheFlags) {
  using Code = CaptionEngineErrorCode;
  using Source = CaptionFailureContext::Source;
  auto context = [](Source source, bool server = true, std::string label = "CI-Mic") {
    CaptionFailureContext c;
    c.source = source;
    c.file = "talk.m4a";
    c.input = "ci_mic";
    c.inputLabel = std::move(label);
    c.locale = "en-US";
    c.soundServer = server;
    c.supportedLocales = {"en-US"};
    return c;
  };
  CaptionFailureContext klingon = context(Source::file);
  klingon.locale = "tlh-QO";
  struct Case {
    std::string message;
    std::string says;
  };
  const std::vector<Case> cases{
      {CaptionMessages::startFailure(Code::modelMissing, context(Source::file)),
       "pass --install-if-missing"},
      {CaptionMessages::startFailure(Code::modelMissing, klingon), "no speech model for tlh-QO"},
      {CaptionMessages::installFailure(Code::modelMissing, klingon), "models: en-US"},
      {CaptionMessages::startFailure(Code::audioUnavailable, context(Source::input, false)),
       "no sound server running (PulseAudio or PipeWire)"},
      {CaptionMessages::startFailure(Code::audioUnavailable,
                                     context(Source::defaultInput, true, "")),
       "no default audio input"},
      {CaptionMessages::startFailure(Code::audioUnavailable, context(Source::input)),
       "CI-Mic [ci_mic]"},
      {CaptionMessages::startFailure(Code::audioUnavailable, context(Source::file)), "talk.m4a"},
      {CaptionMessages::startFailure(Code::audioUnavailable, context(Source::standardInput)),
       "standard input"},
      {CaptionMessages::startFailure(Code::unsupported, context(Source::file)), "this build"},
      {CaptionMessages::startFailure(Code::startFailed, context(Source::file)), "recognizer"},
      {CaptionMessages::noSpeech(context(Source::defaultInput)), "CI-Mic"},
      {CaptionMessages::sessionFailure(context(Source::file)), "recognizer failed"},
  };
  for (const Case& c : cases) {
    EXPECT_NE(c.message.find(c.says), std::string::npos) << c.message;
    for (const char* foreign : {"Mac", "macOS", "SpeechTranscriber", "SpeechAnalyzer",
                                "System Settings", "installIfMissing", "CAPTIONS_"}) {
      EXPECT_EQ(c.message.find(foreign), std::string::npos) << c.message;
    }
  }
  EXPECT_TRUE(CaptionMessages::localeSupported("EN-us", {"en-US"}));
  EXPECT_TRUE(CaptionMessages::localeSupported("en-AU", {"en-US"}));
  EXPECT_FALSE(CaptionMessages::localeSupported("de-DE", {"en-US"}));
}

TEST(CaptionJsonLines, OneObjectPerFinalWithItsWordsWhenTimed) {
  CaptionSegmentEvent s{"s1",
                        4,
                        CaptionSegmentEvent::Kind::final,
                        1200,
                        2500,
                        "say \"hi\"\nnow",
                        "en-US",
                        {{"say", 1200, 1500}, {"\"hi\"", 1600, 2500}}};
  const std::string line = CaptionJsonLines::final(s);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  EXPECT_EQ(nlohmann::json::parse(line),
            (nlohmann::json{{"text", "say \"hi\"\nnow"},
                            {"startMs", 1200},
                            {"endMs", 2500},
                            {"words",
                             {{{"text", "say"}, {"startMs", 1200}, {"endMs", 1500}},
                              {{"text", "\"hi\""}, {"startMs", 1600}, {"endMs", 2500}}}}}));
  s.words.clear();
  EXPECT_EQ(CaptionJsonLines::final(s),
            R"({"text":"say \"hi\"\nnow","startMs":1200,"endMs":2500})");
  s.text = "bad \xFF byte";
  EXPECT_TRUE(nlohmann::json::parse(CaptionJsonLines::final(s))["text"].is_string());
}

TEST(CaptionView, TheWordsBeingHeardAreCutAtAWordBoundary) {
  EXPECT_EQ(CaptionView::tail("the quick brown fox", 40), "the quick brown fox");
  EXPECT_EQ(CaptionView::tail("the quick brown fox", 12), "… brown fox");
  EXPECT_EQ(CaptionView::tail("the quick brown fox", 5), "… fox");
  EXPECT_EQ(CaptionView::tail("antidisestablishment", 6), "…hment");
  EXPECT_EQ(CaptionView::clock(65'400), "1:05");
  EXPECT_EQ(CaptionView::clock(3'723'000), "1:02:03");
}

}  // namespace
}  // namespace quorvel::tools
