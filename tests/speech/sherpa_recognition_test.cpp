// The neural recognizer's analyzer on fabricated models with known answers: finals and their
// times across endpoints, volatiles and their throttle, the forced final of long speech,
// hotwords flipping the transducer's choice, and the ABI of our declarations.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <variant>

#include "caption_engine/runtime/sherpa/sherpa_analyzer.h"
#include "caption_engine/runtime/sherpa/sherpa_model.h"
#include "sherpa_test_support.h"

namespace quorvel::speech {
namespace {

using namespace quorvel::speech::testing;

SherpaModel model(const std::string& name) {
  auto m = inspectSherpaModel(fabricatedModels() / name);
  if (auto* p = std::get_if<SherpaModelProblem>(&m)) throw std::runtime_error(p->message);
  return std::get<SherpaModel>(m);
}

struct Heard {
  std::vector<SpeechResult> results;
  std::vector<SpeechResult> finals() const {
    std::vector<SpeechResult> out;
    for (auto& r : results)
      if (r.isFinal) out.push_back(r);
    return out;
  }
};

Heard run(SherpaAnalyzer& a, const ToneScript& script, size_t chunk = 1600, bool finish = true) {
  Heard out;
  a.start();
  for (const PcmBuffer& b : floatBuffers(script.samples(), chunk)) {
    for (auto& r : a.analyze(b)) out.results.push_back(r);
  }
  if (finish)
    for (auto& r : a.finish()) out.results.push_back(r);
  return out;
}

TranscriberOptions volatiles(bool fast) {
  TranscriberOptions o;
  o.volatileResults = true;
  o.fastResults = fast;
  o.audioTimeRange = true;
  return o;
}

double msOf(double seconds) { return std::round(seconds * 1000.0); }

struct FinalSeen {
  std::string text;
  double startMs, endMs;
  bool operator==(const FinalSeen&) const = default;
};

std::vector<FinalSeen> finalsOf(const Heard& h) {
  std::vector<FinalSeen> out;
  for (const auto& r : h.finals())
    out.push_back(
        {r.text, msOf(r.rangeStartSeconds), msOf(r.rangeStartSeconds + r.rangeDurationSeconds)});
  return out;
}

// The standard script: "hello world" as one utterance (bursts at 0.5 s and 1.0 s), an endpoint in
// the 1.5 s of silence, and "hello" at 2.8 s closed by the end of the input.
ToneScript standardScript() {
  ToneScript s;
  s.silence(0.5).low(0.3).silence(0.2).high(0.3).silence(1.5).low(0.3).silence(0.3);
  return s;
}

// Both kinds of model, with any chunk size the session may feed, give the same finals at the
// same absolute times: the recognizer's own times restart at each endpoint.
TEST(SherpaRecognition, FinalsAndTimesAcrossEndpointsForBothModelKinds) {
  QUORVEL_REQUIRE_SHERPA();
  const SherpaLibrary* lib = SherpaLibrary::get(nullptr);
  const std::vector<FinalSeen> expected = {{"Hello world", 520, 1040}, {"Hello", 2800, 2840}};
  for (const char* name : {"ctc", "transducer"}) {
    for (size_t chunk : {160u, 1600u, 4800u}) {
      SCOPED_TRACE(std::string(name) + " chunk " + std::to_string(chunk));
      SherpaAnalyzer a(*lib, model(name), "en-US", volatiles(true));
      Heard h = run(a, standardScript(), chunk);
      EXPECT_EQ(finalsOf(h), expected);
      // Words carry their own times on the same timeline.
      auto f = h.finals();
      ASSERT_EQ(f.size(), 2u);
      ASSERT_EQ(f[0].words.size(), 2u);
      EXPECT_EQ(f[0].words[1].text, "world");
      EXPECT_EQ(msOf(f[0].words[1].startSeconds), 1000);
      EXPECT_EQ(msOf(f[1].words[0].startSeconds), 2800);
      // Volatiles come before their final, grow, and keep the case the model wrote.
      ASSERT_GE(h.results.size(), 3u);
      EXPECT_FALSE(h.results[0].isFinal);
      EXPECT_EQ(h.results[0].text, "hello");
    }
  }
}

// The endpoint closes an utterance about 0.6 s after the speech ends, not at the end of input.
TEST(SherpaRecognition, AFinalComesSoonAfterSpeechEnds) {
  QUORVEL_REQUIRE_SHERPA();
  SherpaAnalyzer a(*SherpaLibrary::get(nullptr), model("transducer"), "en-US", volatiles(true));
  ToneScript s;
  s.silence(0.5).low(0.3).silence(5.0);
  a.start();
  double finalAt = -1;
  size_t fed = 0;
  for (const PcmBuffer& b : floatBuffers(s.samples(), 160)) {
    fed += b.frameLength();
    for (auto& r : a.analyze(b))
      if (r.isFinal && finalAt < 0) finalAt = static_cast<double>(fed) / 16000;
  }
  // Speech ends at 0.8 s (its token at 0.52 s: the model marks onsets); the final must come
  // about 0.6 s after the last token, within a chunk of decoding, and not at the end of input.
  EXPECT_GT(finalAt, 0.52 + 0.6);
  EXPECT_LT(finalAt, 0.8 + 0.9);
}

// Speech that never pauses is closed after about 15 s; the words go on in the next utterance.
TEST(SherpaRecognition, LongSpeechIsForcedIntoAFinal) {
  QUORVEL_REQUIRE_SHERPA();
  SherpaAnalyzer a(*SherpaLibrary::get(nullptr), model("ctc"), "en-US", volatiles(false));
  ToneScript s;
  s.low(20.0);
  a.start();
  double firstFinalAt = -1;
  size_t fed = 0;
  for (const PcmBuffer& b : floatBuffers(s.samples(), 1600)) {
    fed += b.frameLength();
    for (auto& r : a.analyze(b))
      if (r.isFinal && firstFinalAt < 0) firstFinalAt = static_cast<double>(fed) / 16000;
  }
  EXPECT_GT(firstFinalAt, 14.9);
  EXPECT_LT(firstFinalAt, 15.5);
}

// Without fast results a changing hypothesis is reported at most every 250 ms of audio.
TEST(SherpaRecognition, VolatilesAreThrottledUnlessFast) {
  QUORVEL_REQUIRE_SHERPA();
  ToneScript s;
  s.silence(0.2);
  for (int i = 0; i < 6; ++i) s.low(0.08).silence(0.04).high(0.08).silence(0.04);
  s.silence(1.0);
  auto volatileTimes = [&](bool fast) {
    SherpaAnalyzer a(*SherpaLibrary::get(nullptr), model("ctc"), "en-US", volatiles(fast));
    a.start();
    std::vector<double> at;
    size_t fed = 0;
    for (const PcmBuffer& b : floatBuffers(s.samples(), 160)) {
      fed += b.frameLength();
      for (auto& r : a.analyze(b))
        if (!r.isFinal) at.push_back(static_cast<double>(fed) / 16000);
    }
    return at;
  };
  auto fast = volatileTimes(true);
  auto slow = volatileTimes(false);
  EXPECT_GE(fast.size(), 8u);
  EXPECT_LT(slow.size(), fast.size());
  for (size_t i = 1; i < slow.size(); ++i) EXPECT_GE(slow[i] - slow[i - 1], 0.25 - 1e-9);
}

// A hotword turns the transducer's choice from "world" to the near-tied "word". Terms given while
// an utterance is heard apply from the next one.
TEST(SherpaRecognition, HotwordsFlipTheChoiceFromTheNextUtteranceOn) {
  QUORVEL_REQUIRE_SHERPA();
  SherpaAnalyzer a(*SherpaLibrary::get(nullptr), model("transducer"), "en-US", volatiles(true));
  a.setContext({"word"});
  EXPECT_FALSE(a.contextNote());
  a.start();
  std::vector<std::string> finals;
  auto feed = [&](const ToneScript& s) {
    for (const PcmBuffer& b : floatBuffers(s.samples(), 800))
      for (auto& r : a.analyze(b))
        if (r.isFinal) finals.push_back(r.text);
  };
  ToneScript first;
  first.silence(0.3).high(0.3);
  feed(first);
  a.setContext({});  // mid-utterance: this one still hears "word"
  ToneScript rest;
  rest.silence(1.5).high(0.3).silence(1.5);
  feed(rest);
  EXPECT_EQ(finals, (std::vector<std::string>{"Word", "World"}));
}

TEST(SherpaRecognition, AModelWithoutHotwordsSaysTheTermsAreIgnored) {
  QUORVEL_REQUIRE_SHERPA();
  SherpaAnalyzer a(*SherpaLibrary::get(nullptr), model("transducer-nobpe"), "en-US",
                   volatiles(true));
  a.setContext({"word"});
  ASSERT_TRUE(a.contextNote());
  EXPECT_NE(a.contextNote()->find("ignored"), std::string::npos);
  Heard h = run(a, standardScript());
  EXPECT_EQ(finalsOf(h).front().text, "Hello world");
  a.setContext({});
  EXPECT_FALSE(a.contextNote());
}

// Our declarations of the configuration records match the library's: distinctive values in the
// last fields of each record come back in the configuration the library prints in debug mode.
TEST(SherpaAbi, ConfigRecordsMatchTheLibrary) {
  QUORVEL_REQUIRE_SHERPA();
  const SherpaLibrary* lib = SherpaLibrary::get(nullptr);
  sherpa_api::OnlineRecognizerConfig c;
  std::memset(&c, 0, sizeof(c));
  c.featConfig.sampleRate = 16000;
  c.featConfig.featureDim = 80;
  c.modelConfig.tokens = "/abi/tokens.txt";
  c.modelConfig.numThreads = 3;
  c.modelConfig.provider = "cpu";
  c.modelConfig.debug = 1;
  c.modelConfig.modelingUnit = "bpe";
  c.modelConfig.bpeVocab = "/abi/bpe.vocab";
  c.modelConfig.toneCtc.model = "/abi/tone-ctc.onnx";
  c.decodingMethod = "modified_beam_search";
  c.maxActivePaths = 7;
  c.enableEndpoint = 1;
  c.rule1MinTrailingSilence = 3.125f;
  c.rule2MinTrailingSilence = 0.875f;
  c.rule3MinUtteranceLength = 17.25f;
  c.hotwordsScore = 2.375f;
  c.blankPenalty = 0.625f;
  c.hr.lexicon = "/abi/hr-lexicon";
  c.hr.ruleFsts = "/abi/hr-rule.fst";

  // The library prints to standard error: catch it in a file.
  char path[] = "/tmp/quorvel-abi-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  fflush(stderr);
  int saved = dup(2);
  dup2(fd, 2);
  const sherpa_api::OnlineRecognizer* r = lib->createOnlineRecognizer(&c);
  fflush(stderr);
  dup2(saved, 2);
  close(saved);
  close(fd);
  std::ifstream in(path);
  std::string dump((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  unlink(path);
  EXPECT_EQ(r, nullptr);  // the files do not exist: refused, not loaded
  if (r) lib->destroyOnlineRecognizer(r);
  for (const char* expected :
       {"/abi/tokens.txt", "num_threads=3", "/abi/bpe.vocab", "/abi/tone-ctc.onnx",
        "modified_beam_search", "max_active_paths=7", "3.125", "0.875", "17.25", "2.375", "0.625",
        "/abi/hr-lexicon", "/abi/hr-rule.fst"}) {
    EXPECT_NE(dump.find(expected), std::string::npos) << expected << " not in:\n" << dump;
  }
}

}  // namespace
}  // namespace quorvel::speech
