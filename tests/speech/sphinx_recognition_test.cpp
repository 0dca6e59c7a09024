// The analyzer on real recordings (pocketsphinx-testdata): the order and time ranges of volatile
// and final results, accuracy, throttling, finalising, contextual terms and decoding errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <thread>

#include "caption_engine/runtime/sphinx/sphinx_analyzer.h"
#include "caption_engine/runtime/sphinx/sphinx_decoder.h"
#include "caption_engine/runtime/sphinx/sphinx_speech_service.h"
#include "speech_test_support.h"
#include "tests/support/speech_evaluation.h"
#include "tests/support/wav_file.h"

namespace quorvel::speech {
namespace {

using namespace quorvel::speech::testing;

constexpr int kRate = 16000;

struct Recording {
  std::vector<int16_t> samples;
  std::string reference;  // transcription words of all files, in order
};

// The named recordings one after another, each followed by a second of silence.
Recording recordings(const std::string& set, const std::vector<std::string>& ids) {
  std::ifstream transcription(kTestData / set /
                              (set == "cards" ? "cards.transcription" : "transcription"));
  std::vector<std::string> lines;
  for (std::string line; std::getline(transcription, line);) lines.push_back(line);
  Recording r;
  for (const std::string& id : ids) {
    auto wav = quorvel::support::readMonoWav(kTestData / set / (id + ".wav"));
    if (!wav || wav->sampleRate != kRate)
      throw std::runtime_error("cannot read test recording " + id);
    r.samples.insert(r.samples.end(), wav->samples.begin(), wav->samples.end());
    r.samples.insert(r.samples.end(), kRate, 0);
    for (const std::string& line : lines) {
      if (line.find("(" + id + ")") != std::string::npos) r.reference += line + " ";
    }
  }
  return r;
}

const std::vector<std::string> kLibrivox = {
    "sense_and_sensibility_01_austen_64kb-0870", "sense_and_sensibility_01_austen_64kb-0880",
    "sense_and_sensibility_01_austen_64kb-0890", "sense_and_sensibility_01_austen_64kb-0920",
    "sense_and_sensibility_01_austen_64kb-0930"};

struct Transcript {
  std::vector<SpeechResult> results;
  std::optional<std::string> streamError;
  std::optional<std::string> finalizeError;
  bool streamEnded = false;

  std::string finalText() const {
    std::string t;
    for (auto& r : results) {
      if (r.isFinal && !r.text.empty()) t += r.text + " ";
    }
    return t;
  }
  size_t count(bool isFinal) const {
    return std::count_if(results.begin(), results.end(),
                         [&](auto& r) { return r.isFinal == isFinal; });
  }
};

// Runs one session: the audio is fed in 0.1 s chunks, as the session thread feeds it, and the
// results are collected; `duringFeed` runs after every chunk. A decoding failure is recorded and
// feeding goes on (every later call fails the same way), as the runtime does.
Transcript transcribe(SpeechService& service, const std::string& locale, TranscriberOptions options,
                      const std::vector<int16_t>& audio, const std::vector<std::string>& terms = {},
                      const std::function<void(SpeechAnalyzer&, size_t)>& duringFeed = {},
                      PcmBuffer* extraBuffer = nullptr) {
  auto transcriber = service.makeTranscriber(locale, options);
  auto analyzer = service.makeAnalyzer(transcriber);
  if (!terms.empty()) analyzer->setContext(terms);
  auto format = analyzer->bestAvailableAudioFormat();
  EXPECT_TRUE(format.has_value());
  Transcript t;
  auto take = [&](const PcmBuffer& b) {
    try {
      for (auto& r : analyzer->analyze(b)) t.results.push_back(std::move(r));
    } catch (const SpeechServiceError& e) {
      if (!t.streamError) t.streamError = e.what();
    }
  };
  analyzer->start();
  const size_t chunk = kRate / 10;
  for (size_t at = 0, i = 0; at < audio.size(); at += chunk, ++i) {
    const size_t n = std::min(chunk, audio.size() - at);
    PcmBuffer b(*format, static_cast<uint32_t>(n));
    b.setFrameLength(static_cast<uint32_t>(n));
    std::copy_n(audio.data() + at, n, b.channelData<int16_t>(0));
    take(b);
    if (extraBuffer && i == 5) take(*extraBuffer);
    if (duringFeed) duringFeed(*analyzer, i);
  }
  try {
    for (auto& r : analyzer->finish()) t.results.push_back(std::move(r));
    t.streamEnded = true;
  } catch (const SpeechServiceError& e) {
    t.finalizeError = e.what();
  }
  return t;
}

class SphinxRecognitionTest : public ::testing::Test {
 protected:
  ScopedDataHome home;
  SphinxSpeechService service;
};

TEST_F(SphinxRecognitionTest, ReadSpeechGivesOrderedVolatilesAndFinalsWithinTheAudio) {
  const Recording rec = recordings("librivox", kLibrivox);
  const double audioSeconds = static_cast<double>(rec.samples.size()) / kRate;
  TranscriberOptions options;
  options.volatileResults = true;
  options.audioTimeRange = true;
  const Transcript t = transcribe(service, "en-US", options, rec.samples);

  ASSERT_FALSE(t.streamError) << *t.streamError;
  ASSERT_FALSE(t.finalizeError) << *t.finalizeError;
  EXPECT_TRUE(t.streamEnded) << "finalising ends the results stream";
  EXPECT_GE(t.count(true), 4u) << "one final per sentence, about";

  double lastFinalEnd = 0;
  double lastVolatileEnd = -1;
  size_t volatilesSinceFinal = 0;
  for (const SpeechResult& r : t.results) {
    SCOPED_TRACE(r.text);
    EXPECT_GE(r.rangeStartSeconds, 0.0);
    EXPECT_GE(r.rangeDurationSeconds, 0.0);
    EXPECT_LE(r.rangeStartSeconds + r.rangeDurationSeconds, audioSeconds + 1e-9);
    EXPECT_GE(r.rangeStartSeconds, lastFinalEnd - 1e-9)
        << "results never reach back into finalised audio";
    EXPECT_EQ(r.text.find_first_of("<[()+"), std::string::npos) << "no fillers or variants";
    if (r.isFinal) {
      EXPECT_GT(volatilesSinceFinal, 0u) << "each utterance shows volatiles before its final";
      EXPECT_FALSE(r.text.empty());
      lastFinalEnd = r.rangeStartSeconds + r.rangeDurationSeconds;
      volatilesSinceFinal = 0;
      lastVolatileEnd = -1;
    } else {
      const double end = r.rangeStartSeconds + r.rangeDurationSeconds;
      if (lastVolatileEnd >= 0) {
        EXPECT_GE(end - lastVolatileEnd, SphinxAnalyzer::kVolatileSpacingSeconds - 1e-9)
            << "at most one volatile per 250 ms of audio";
      }
      lastVolatileEnd = end;
      ++volatilesSinceFinal;
    }
  }
  const WordErrors errors = wordErrors(rec.reference, t.finalText());
  EXPECT_GT(errors.referenceWords, 60u);
  EXPECT_LT(errors.rate(), 0.45) << t.finalText();
}

// Finals carry their words with the times the decoder gives them, for subtitles and scripts: the
// words spell the final's text (masked as it is), in order, inside its range, none overlapping the
// next. Volatiles carry none.
TEST_F(SphinxRecognitionTest, FinalsCarryTheirTimedWords) {
  const Recording rec = recordings("librivox", {kLibrivox[0], kLibrivox[1]});
  TranscriberOptions options;
  options.volatileResults = true;
  options.audioTimeRange = true;
  options.etiquetteReplacements = true;
  const Transcript t = transcribe(service, "en-US", options, rec.samples);
  ASSERT_FALSE(t.streamError);
  size_t finals = 0;
  for (const SpeechResult& r : t.results) {
    SCOPED_TRACE(r.text);
    if (!r.isFinal) {
      EXPECT_TRUE(r.words.empty());
      continue;
    }
    if (r.text.empty()) continue;  // an utterance whose hypothesis came to nothing
    ++finals;
    ASSERT_FALSE(r.words.empty());
    std::string spelled;
    double previousEnd = r.rangeStartSeconds;
    for (const SpeechWord& w : r.words) {
      spelled += (spelled.empty() ? "" : " ") + w.text;
      EXPECT_GT(w.durationSeconds, 0.0) << w.text;
      EXPECT_GE(w.startSeconds, previousEnd - 1e-9) << w.text;
      previousEnd = w.startSeconds + w.durationSeconds;
    }
    EXPECT_EQ(spelled, r.text);
    EXPECT_NEAR(r.words.front().startSeconds, r.rangeStartSeconds, 1e-9);
    EXPECT_NEAR(previousEnd, r.rangeStartSeconds + r.rangeDurationSeconds, 1e-9);
  }
  EXPECT_GE(finals, 2u);
}

TEST_F(SphinxRecognitionTest, FastResultsFollowEveryChangedHypothesis) {
  const Recording rec = recordings("librivox", {kLibrivox[2]});
  TranscriberOptions slow;
  slow.volatileResults = true;
  TranscriberOptions fast = slow;
  fast.fastResults = true;
  const Transcript s = transcribe(service, "en-US", slow, rec.samples);
  const Transcript f = transcribe(service, "en-US", fast, rec.samples);
  EXPECT_GT(f.count(false), s.count(false));
  EXPECT_EQ(f.finalText(), s.finalText()) << "throttling changes only what is reported";
  bool closePair = false;
  for (size_t i = 1; i < f.results.size(); ++i) {
    auto& a = f.results[i - 1];
    auto& b = f.results[i];
    if (a.isFinal || b.isFinal) continue;
    const double gap = (b.rangeStartSeconds + b.rangeDurationSeconds) -
                       (a.rangeStartSeconds + a.rangeDurationSeconds);
    closePair = closePair || gap < 0.25;
    EXPECT_NE(a.text, b.text) << "only changes are reported";
  }
  EXPECT_TRUE(closePair);

  TranscriberOptions none;
  const Transcript n = transcribe(service, "en-US", none, rec.samples);
  EXPECT_EQ(n.count(false), 0u) << "no volatile results unless asked for";
  EXPECT_EQ(n.finalText(), s.finalText());
}

bool contains(const std::string& text, const std::string& word) {
  auto words = evaluationWords(text);
  return std::find(words.begin(), words.end(), word) != words.end();
}

TEST_F(SphinxRecognitionTest, ContextualTermsAreRecognisedAndUnrelatedOnesDoLittleHarm) {
  const Recording rec = recordings("librivox", {kLibrivox[0]});
  const TranscriberOptions options;
  const Transcript plain = transcribe(service, "en-US", options, rec.samples);
  const Transcript biased = transcribe(service, "en-US", options, rec.samples,
                                       {"Mr. Dashwood", "prudently", "Norland Park"});
  const Transcript unrelated =
      transcribe(service, "en-US", options, rec.samples,
                 {"Kubernetes", "spreadsheet", "Quorvel", "Tuesday meeting"});
  // An empty list puts the base model back.
  const Transcript cleared =
      transcribe(service, "en-US", options, rec.samples, {}, [](SpeechAnalyzer& a, size_t i) {
        if (i == 0) {
          a.setContext({"Dashwood"});
          a.setContext({});
        }
      });

  // "dashwood" is heard as "guess what" without help.
  EXPECT_FALSE(contains(plain.finalText(), "dashwood")) << plain.finalText();
  EXPECT_TRUE(contains(biased.finalText(), "dashwood")) << biased.finalText();
  EXPECT_TRUE(contains(biased.finalText(), "prudently")) << biased.finalText();
  const double plainRate = wordErrors(rec.reference, plain.finalText()).rate();
  EXPECT_LT(wordErrors(rec.reference, biased.finalText()).rate(), plainRate);
  EXPECT_LE(wordErrors(rec.reference, unrelated.finalText()).rate(), plainRate + 0.05)
      << unrelated.finalText();
  EXPECT_EQ(cleared.finalText(), plain.finalText());
}

TEST_F(SphinxRecognitionTest, ContextChangesWhileDecodingAreSafe) {
  const Recording rec = recordings("cards", {"003", "004", "005"});
  TranscriberOptions options;
  options.volatileResults = true;
  options.fastResults = true;
  std::vector<std::jthread> changers;
  const size_t lastChunk = (rec.samples.size() + kRate / 10 - 1) / (kRate / 10) - 1;
  const Transcript t =
      transcribe(service, "en-US", options, rec.samples, {}, [&](SpeechAnalyzer& a, size_t i) {
        if (i % 10 == 0) {
          // From another thread, racing the decoder thread.
          changers.emplace_back([&a, i] {
            a.setContext(i % 2 ? std::vector<std::string>{"clubs", "spades"}
                               : std::vector<std::string>{});
          });
        }
        // Every change has ended before the analyzer goes with the end of the transcription.
        if (i == lastChunk) changers.clear();
      });
  ASSERT_FALSE(t.streamError);
  ASSERT_FALSE(t.finalizeError);
  EXPECT_TRUE(t.streamEnded);
  EXPECT_GE(t.count(true), 2u);
}

// Terms that cannot be used must be refused to the caller even while speech is being decoded
// (they used to be accepted and dropped later, together with the terms already in use).
TEST_F(SphinxRecognitionTest, TermsThatCannotBeUsedAreRefusedAtOnceAndTheOldTermsStay) {
  const Recording rec = recordings("librivox", {kLibrivox[0]});
  const char* oldTmp = std::getenv("TMPDIR");
  const std::string savedTmp = oldTmp ? oldTmp : "";
  std::optional<std::string> refusal;
  TranscriberOptions options;
  options.volatileResults = true;
  const Transcript t = transcribe(service, "en-US", options, rec.samples, {"Mr. Dashwood"},
                                  [&](SpeechAnalyzer& a, size_t i) {
                                    if (i != 12)
                                      return;  // 1.3 s in: the first sentence is being spoken
                                    // The terms' language model cannot be written anywhere.
                                    setenv("TMPDIR", "/nonexistent-quorvel-dir", 1);
                                    try {
                                      a.setContext({"prudently"});
                                    } catch (const SpeechServiceError& e) {
                                      refusal = e.what();
                                    }
                                    if (oldTmp)
                                      setenv("TMPDIR", savedTmp.c_str(), 1);
                                    else
                                      unsetenv("TMPDIR");
                                  });
  ASSERT_TRUE(refusal.has_value()) << "the failure reaches the caller";
  ASSERT_FALSE(t.streamError);
  const bool speaking = std::any_of(t.results.begin(), t.results.end(), [](const SpeechResult& r) {
    return !r.isFinal && r.rangeStartSeconds < 1.3 &&
           r.rangeStartSeconds + r.rangeDurationSeconds >= 1.3;
  });
  EXPECT_TRUE(speaking) << "the terms came while an utterance was being heard";
  EXPECT_TRUE(contains(t.finalText(), "dashwood"))
      << "the start's terms are still in use: " << t.finalText();
}

TEST_F(SphinxRecognitionTest, AnInstalledCopyOfAModelRecognises) {
  TempDir sources;
  writeCatalogEntry(home.store(), "xx-XT", makeRelabelledEnUsSource(sources.path() / "xx"));
  EXPECT_THROW(service.makeAnalyzer(service.makeTranscriber("xx-XT", {})), SpeechServiceError)
      << "not installed yet";
  service.assetInventory()
      .assetInstallationRequest(*service.makeTranscriber("xx-XT", {}))
      ->downloadAndInstall();
  const Recording rec = recordings("librivox", {kLibrivox[1]});
  const Transcript t = transcribe(service, "xx_xt", {}, rec.samples);
  EXPECT_LE(wordErrors(rec.reference, t.finalText()).rate(), 0.5) << t.finalText();
}

TEST_F(SphinxRecognitionTest, DecodingFailuresEndTheStreamWithAnError) {
  const Recording rec = recordings("cards", {"001"});
  AudioFormat wrong;
  wrong.sampleType = SampleType::float32;
  wrong.sampleRate = 44100;
  PcmBuffer odd(wrong, 441);
  odd.setFrameLength(441);
  const Transcript t = transcribe(service, "en-US", {}, rec.samples, {}, {}, &odd);
  ASSERT_TRUE(t.streamError);
  EXPECT_NE(t.streamError->find("16000 Hz"), std::string::npos) << *t.streamError;
  ASSERT_TRUE(t.finalizeError);
  EXPECT_EQ(*t.finalizeError, *t.streamError);
}

TEST(SphinxDecoderTest, WordsMissingFromTheDictionaryAreAddedForTheTerms) {
  SphinxDecoder decoder(
      {kEnUsModel / "en-us", kEnUsModel / "en-us.lm.bin", kEnUsModel / "cmudict-en-us.dict"});
  EXPECT_EQ(decoder.pronunciation("quorvelbook"), std::nullopt);
  decoder.setContext({"Quorvelbook rocks"});
  ASSERT_TRUE(decoder.pronunciation("quorvelbook").has_value());
  EXPECT_NE(decoder.pronunciation("quorvelbook")->find("B UH K"), std::string::npos)
      << "reuses \"book\"";
  decoder.setContext({});
  decoder.startStream();
  EXPECT_THROW(decoder.setContext({"x"}), SpeechServiceError) << "not inside an utterance";
}

// The decoder holds only the words of its language model; a term word that only the dictionary
// file has is given the file's pronunciations (all of them), not a guess.
TEST(SphinxDecoderTest, ATermWordOutsideTheLanguageModelTakesTheDictionarysPronunciations) {
  SphinxDecoder decoder(
      {kEnUsModel / "en-us", kEnUsModel / "en-us.lm.bin", kEnUsModel / "cmudict-en-us.dict"});
  // "abeles" is in the dictionary, twice, and not in the language model.
  EXPECT_EQ(decoder.pronunciation("abeles"), "AH B EH L Z");
  EXPECT_TRUE(decoder.reusable());
  decoder.setContext({"Abeles"});
  EXPECT_EQ(decoder.pronunciation("abeles"), "AH B EH L Z");
  EXPECT_EQ(decoder.pronunciation("abeles(2)"), "EY B AH L IY Z");
  EXPECT_FALSE(decoder.reusable()) << "its dictionary learnt the words";
}

}  // namespace
}  // namespace quorvel::speech
