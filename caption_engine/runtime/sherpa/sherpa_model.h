// A streaming model directory for the neural recognizer, laid out as sherpa-onnx's released model
// archives unpack, and the checks it must pass before the recognizer may load it.
//
// Layouts:
//   transducer: tokens.txt, encoder-*.onnx, decoder-*.onnx, joiner-*.onnx (the int8 variant of a
//               part is taken when there is one), optionally bpe.vocab (the BPE modelling unit,
//               which lets terms become hotwords);
//   CTC:        tokens.txt and model.onnx, or one model*.onnx (int8 preferred likewise).
//
// The recognizer ends the whole process on many broken models (a missing metadata key, tokens
// without a blank, a file that is not ONNX, an offline model given to the streaming API, an
// unknown model type), so inspectSherpaModel checks everything that can be checked without
// loading: the files are present, each is an ONNX model of an IR version and operator set the
// bundled runtime loads, the encoder (or CTC model) names a streaming model type we know and
// carries every metadata key that type reads, the decoder's vocabulary matches the tokens, and
// tokens.txt is well formed (unique symbols, ids 0..n-1, a blank where the model needs one).
//
// Threads: plain functions of the directory; any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <variant>

namespace quorvel::speech {

enum class SherpaModelKind { transducer, nemoCtc, zipformer2Ctc };

struct SherpaModel {
  SherpaModelKind kind = SherpaModelKind::transducer;
  std::filesystem::path directory;
  std::filesystem::path tokens;
  std::filesystem::path encoder, decoder, joiner;  // transducer
  std::filesystem::path model;                     // CTC
  std::filesystem::path bpeVocab;                  // empty when there is none
  std::string modelType;                           // the transducer encoder's model_type
  int tokenCount = 0;
  bool upperCase = false;  // its tokens spell words in capitals only

  // Terms can become hotwords: a transducer (decoded with modified beam search) whose tokens are
  // BPE pieces described by bpe.vocab.
  bool takesHotwords() const { return kind == SherpaModelKind::transducer && !bpeVocab.empty(); }
  std::string describe() const;  // "streaming transducer (lstm)", "streaming NeMo CTC"
};

struct SherpaModelProblem {
  enum class Kind {
    missing,  // files are missing: no model is there
    broken,   // files are there but would not load
  };
  Kind kind = Kind::broken;
  std::string message;
};

// Whether the directory holds what a model of either layout needs (files only, no contents).
bool looksLikeSherpaModel(const std::filesystem::path& directory);

// The model in the directory, or the first problem found.
std::variant<SherpaModel, SherpaModelProblem> inspectSherpaModel(
    const std::filesystem::path& directory);

}  // namespace quorvel::speech
