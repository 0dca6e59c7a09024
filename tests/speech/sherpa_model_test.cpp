// Checks of neural model directories before loading, on the fabricated models and their broken
// variants (each of which would end the process if handed to the recognizer), and the merging
// of BPE pieces into timed words.
#include <gtest/gtest.h>

#include <fstream>
#include <variant>

#include "caption_engine/runtime/sherpa/onnx_model_info.h"
#include "caption_engine/runtime/sherpa/sherpa_analyzer.h"
#include "caption_engine/runtime/sherpa/sherpa_model.h"
#include "caption_engine/runtime/sherpa/sherpa_words.h"
#include "sherpa_test_support.h"
#include "speech_test_support.h"

namespace quorvel::speech {
namespace {

using namespace quorvel::speech::testing;
namespace fs = std::filesystem;

#define QUORVEL_REQUIRE_MODELS()                                                   \
  do {                                                                             \
    if (!fs::exists(fabricatedModels() / "ctc"))                                   \
      GTEST_SKIP() << "no fabricated models (python3-onnx missing at build time)"; \
  } while (0)

TEST(SherpaModelCheck, GoodModelsAreRecognisedWithTheirTraits) {
  QUORVEL_REQUIRE_MODELS();
  auto ctc = std::get<SherpaModel>(inspectSherpaModel(fabricatedModels() / "ctc"));
  EXPECT_EQ(ctc.kind, SherpaModelKind::nemoCtc);
  EXPECT_FALSE(ctc.upperCase);
  EXPECT_FALSE(ctc.takesHotwords());
  EXPECT_EQ(ctc.tokenCount, 3);

  auto t = std::get<SherpaModel>(inspectSherpaModel(fabricatedModels() / "transducer"));
  EXPECT_EQ(t.kind, SherpaModelKind::transducer);
  EXPECT_EQ(t.modelType, "lstm");
  EXPECT_TRUE(t.upperCase);
  EXPECT_TRUE(t.takesHotwords());
  EXPECT_EQ(t.encoder.filename(), "encoder-epoch-99-avg-1.onnx");

  // Without bpe.vocab the terms cannot be encoded as hotwords.
  auto plain = std::get<SherpaModel>(inspectSherpaModel(fabricatedModels() / "transducer-nobpe"));
  EXPECT_FALSE(plain.takesHotwords());
}

TEST(SherpaModelCheck, Int8VariantsArePreferred) {
  QUORVEL_REQUIRE_MODELS();
  quorvel::speech::testing::TempDir dir;
  for (const auto& e : fs::directory_iterator(fabricatedModels() / "transducer"))
    fs::copy(e.path(), dir.path() / e.path().filename());
  fs::copy(dir.path() / "joiner-epoch-99-avg-1.onnx",
           dir.path() / "joiner-epoch-99-avg-1.int8.onnx");
  auto t = std::get<SherpaModel>(inspectSherpaModel(dir.path()));
  EXPECT_EQ(t.joiner.filename(), "joiner-epoch-99-avg-1.int8.onnx");
  EXPECT_EQ(t.encoder.filename(), "encoder-epoch-99-avg-1.onnx");
}

// Every broken variant is refused with a message naming what is wrong, and the kind of refusal
// decides the host's error code (missing: CAPTIONS_MODEL_MISSING, broken: CAPTIONS_START_FAILED).
TEST(SherpaModelCheck, BrokenModelsAreRefusedBeforeLoading) {
  QUORVEL_REQUIRE_MODELS();
  using K = SherpaModelProblem::Kind;
  struct Case {
    const char* dir;
    K kind;
    const char* says;
  } cases[] = {
      {"missing-metadata-key", K::broken, "cache_last_time_dim3"},
      {"tokens-without-blank", K::broken, "no blank"},
      {"offline-model", K::broken, "no streaming CTC model"},
      {"vocabulary-mismatch", K::broken, "vocab_size"},
      {"no-model-type", K::broken, "no model_type"},
      {"unknown-model-type", K::broken, "\"whisper\""},
      {"encoder-missing-key", K::broken, "d_model"},
      {"not-onnx", K::broken, "is not an ONNX model"},
      {"truncated-onnx", K::broken, "is not an ONNX model"},
      {"missing-joiner", K::missing, "joiner-*.onnx"},
      {"missing-tokens", K::missing, "tokens.txt"},
      {"malformed-tokens", K::broken, "tokens.txt line 4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dir);
    auto r = inspectSherpaModel(fabricatedModels() / "broken" / c.dir);
    ASSERT_TRUE(std::holds_alternative<SherpaModelProblem>(r));
    const auto& p = std::get<SherpaModelProblem>(r);
    EXPECT_EQ(p.kind, c.kind);
    EXPECT_NE(p.message.find(c.says), std::string::npos) << p.message;
  }
  auto none = inspectSherpaModel(fabricatedModels() / "no-such-model");
  ASSERT_TRUE(std::holds_alternative<SherpaModelProblem>(none));
  EXPECT_EQ(std::get<SherpaModelProblem>(none).kind, SherpaModelProblem::Kind::missing);
}

TEST(OnnxModelInfo, ReadsVersionsAndMetadataAndRefusesOtherFiles) {
  QUORVEL_REQUIRE_MODELS();
  std::string error;
  auto info = readOnnxModelInfo(fabricatedModels() / "ctc" / "model.onnx", &error);
  ASSERT_TRUE(info) << error;
  EXPECT_EQ(info->irVersion, 8);
  EXPECT_EQ(info->opsets.at(""), 13);
  EXPECT_EQ(info->metadata.at("window_size"), "16");
  EXPECT_TRUE(info->hasGraph);

  quorvel::speech::testing::TempDir dir;
  for (const std::string& bytes :
       {std::string(""), std::string("\x08\x08", 2), std::string("\x0a\xff\xff\xff\x0f", 5),
        std::string("PK\x03\x04")}) {
    std::ofstream(dir.path() / "x.onnx", std::ios::binary) << bytes;
    EXPECT_FALSE(readOnnxModelInfo(dir.path() / "x.onnx", &error)) << bytes.size();
  }
}

// BPE pieces: "▁" starts a word, other pieces continue it; times are the segment's plus its start.
TEST(SherpaWords, PiecesMergeIntoTimedWords) {
  const std::string m = "\xE2\x96\x81";
  struct Case {
    std::vector<std::string> tokens;
    std::vector<float> times;
    std::vector<SpeechWord> words;
  } cases[] = {
      {{m + "HE", "LL", "O", m + "WORLD"},
       {0.0f, 0.04f, 0.08f, 0.4f},
       {{"HELLO", 10.0, 0.12}, {"WORLD", 10.4, 0.04}}},
      // A word ends where the next begins, at the latest.
      {{m + "A", m + "B"}, {1.0f, 1.02f}, {{"A", 11.0, 0.02}, {"B", 11.02, 0.04}}},
      // Specials are dropped; a bare marker or space is only a boundary.
      {{"<unk>", m + "X", m, "Y", " ", "Z"},
       {0.0f, 0.1f, 0.2f, 0.3f, 0.4f, 0.5f},
       {{"X", 10.1, 0.04}, {"Y", 10.3, 0.04}, {"Z", 10.5, 0.04}}},
      {{}, {}, {}},
  };
  for (const Case& c : cases) {
    auto words = mergeSherpaTokens(c.tokens, c.times, 10.0, 0.04);
    ASSERT_EQ(words.size(), c.words.size());
    for (size_t i = 0; i < words.size(); ++i) {
      EXPECT_EQ(words[i].text, c.words[i].text);
      EXPECT_NEAR(words[i].startSeconds, c.words[i].startSeconds, 1e-5);
      EXPECT_NEAR(words[i].durationSeconds, c.words[i].durationSeconds, 1e-5);
    }
  }
}

TEST(SherpaHotwords, TermsBecomeLinesInTheModelsCase) {
  EXPECT_EQ(sherpaHotwords({"Quorvel", "New York: City", "a/b#c"}, true),
            "QUORVEL\nNEW YORK CITY\nA B C\n");
  EXPECT_EQ(sherpaHotwords({"Quorvel", "  ", "!"}, false), "quorvel\n");
}

}  // namespace
}  // namespace quorvel::speech
