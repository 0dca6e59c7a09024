#include "caption_engine/runtime/sherpa/sherpa_model.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "caption_engine/runtime/sherpa/onnx_model_info.h"

namespace quorvel::speech {

namespace fs = std::filesystem;

namespace {

// The IR versions and default-domain operator sets the bundled onnxruntime loads.
constexpr int64_t kMinIrVersion = 3;
constexpr int64_t kMaxIrVersion = 13;
constexpr int64_t kMinOpset = 7;
constexpr int64_t kMaxOpset = 26;

// The metadata keys each streaming encoder type reads (missing ones end the process).
const std::map<std::string, std::vector<std::string>>& transducerEncoderKeys() {
  static const std::map<std::string, std::vector<std::string>> keys = {
      {"lstm", {"num_encoder_layers", "T", "decode_chunk_len", "rnn_hidden_size", "d_model"}},
      {"conformer",
       {"num_encoder_layers", "T", "decode_chunk_len", "left_context", "encoder_dim", "pad_length",
        "cnn_module_kernel"}},
      {"zipformer",
       {"encoder_dims", "attention_dims", "num_encoder_layers", "cnn_module_kernels",
        "left_context_len", "T", "decode_chunk_len"}},
      {"zipformer2",
       {"encoder_dims", "query_head_dims", "value_head_dims", "num_heads", "num_encoder_layers",
        "cnn_module_kernels", "left_context_len", "T", "decode_chunk_len"}},
  };
  return keys;
}

const std::vector<std::string> kNemoCtcKeys = {"window_size",
                                               "chunk_shift",
                                               "subsampling_factor",
                                               "vocab_size",
                                               "cache_last_channel_dim1",
                                               "cache_last_channel_dim2",
                                               "cache_last_channel_dim3",
                                               "cache_last_time_dim1",
                                               "cache_last_time_dim2",
                                               "cache_last_time_dim3"};

const std::vector<std::string> kZipformer2CtcKeys = {
    "encoder_dims",       "query_head_dims",    "value_head_dims",  "num_heads",
    "num_encoder_layers", "cnn_module_kernels", "left_context_len", "T",
    "decode_chunk_len"};

bool isFile(const fs::path& p) {
  std::error_code ec;
  return fs::is_regular_file(p, ec);
}

// The .onnx files of the directory whose names start with the prefix, in name order.
std::vector<fs::path> onnxFiles(const fs::path& dir, const std::string& prefix) {
  std::vector<fs::path> out;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.starts_with(prefix) && name.ends_with(".onnx") && isFile(it->path()))
      out.push_back(it->path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

// One file of a part: the int8 variant when there is one, else the first in name order.
std::optional<fs::path> pickPart(const fs::path& dir, const std::string& prefix) {
  std::vector<fs::path> files = onnxFiles(dir, prefix);
  if (files.empty()) return std::nullopt;
  for (const fs::path& f : files) {
    if (f.filename().string().ends_with(".int8.onnx")) return f;
  }
  return files.front();
}

struct Tokens {
  int count = 0;
  std::set<std::string> symbols;
  bool upperCase = false;
};

std::optional<Tokens> readTokens(const fs::path& file, std::string& error) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    error = "cannot read " + file.string();
    return std::nullopt;
  }
  Tokens t;
  std::set<long> ids;
  std::string line;
  int lineNo = 0;
  bool upper = false, lower = false;
  while (std::getline(in, line)) {
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream fields(line);
    std::vector<std::string> parts;
    for (std::string f; fields >> f;) parts.push_back(f);
    if (parts.empty()) continue;
    std::string symbol, id;
    if (parts.size() == 2) {
      symbol = parts[0];
      id = parts[1];
    } else if (parts.size() == 1) {
      symbol = " ";  // a line holding only an id is the space symbol
      id = parts[0];
    } else {
      error = "tokens.txt line " + std::to_string(lineNo) + " is not \"symbol id\"";
      return std::nullopt;
    }
    if (id.empty() || id.size() > 9 ||
        !std::all_of(id.begin(), id.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      error = "tokens.txt line " + std::to_string(lineNo) + " has no numeric id";
      return std::nullopt;
    }
    if (!ids.insert(std::stol(id)).second || !t.symbols.insert(symbol).second) {
      error = "tokens.txt line " + std::to_string(lineNo) + " repeats a symbol or an id";
      return std::nullopt;
    }
    if (!(symbol.front() == '<' && symbol.back() == '>')) {
      for (char c : symbol) {
        upper |= c >= 'A' && c <= 'Z';
        lower |= c >= 'a' && c <= 'z';
      }
    }
  }
  if (ids.empty()) {
    error = "tokens.txt is empty";
    return std::nullopt;
  }
  if (*ids.begin() != 0 || *ids.rbegin() != static_cast<long>(ids.size()) - 1) {
    error = "tokens.txt ids are not 0 to " + std::to_string(ids.size() - 1);
    return std::nullopt;
  }
  t.count = static_cast<int>(ids.size());
  t.upperCase = upper && !lower;
  return t;
}

SherpaModelProblem broken(std::string message) {
  return {SherpaModelProblem::Kind::broken, std::move(message)};
}
SherpaModelProblem missing(std::string message) {
  return {SherpaModelProblem::Kind::missing, std::move(message)};
}

// Reads and checks one ONNX file; nothing on success.
std::optional<SherpaModelProblem> checkOnnx(const fs::path& file, OnnxModelInfo& info) {
  std::string error;
  auto read = readOnnxModelInfo(file, &error);
  if (!read) return broken(error);
  info = std::move(*read);
  if (info.irVersion < kMinIrVersion || info.irVersion > kMaxIrVersion) {
    return broken(file.filename().string() + " has ONNX IR version " +
                  std::to_string(info.irVersion) + "; the runtime loads " +
                  std::to_string(kMinIrVersion) + " to " + std::to_string(kMaxIrVersion));
  }
  auto opset = info.opsets.find("");
  if (opset == info.opsets.end()) opset = info.opsets.find("ai.onnx");
  if (opset == info.opsets.end() || opset->second < kMinOpset || opset->second > kMaxOpset) {
    return broken(file.filename().string() + " imports no ONNX operator set from " +
                  std::to_string(kMinOpset) + " to " + std::to_string(kMaxOpset));
  }
  return std::nullopt;
}

std::optional<SherpaModelProblem> requireKeys(const fs::path& file, const OnnxModelInfo& info,
                                              const std::vector<std::string>& keys,
                                              const std::string& what) {
  for (const std::string& k : keys) {
    if (!info.metadata.count(k)) {
      return broken(file.filename().string() + " lacks the metadata key \"" + k + "\" that " +
                    what + " needs");
    }
  }
  return std::nullopt;
}

std::optional<long> intMetadata(const OnnxModelInfo& info, const std::string& key) {
  auto it = info.metadata.find(key);
  if (it == info.metadata.end() || it->second.empty() || it->second.size() > 9) return std::nullopt;
  if (!std::all_of(it->second.begin(), it->second.end(),
                   [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  return std::stol(it->second);
}

}  // namespace

std::string SherpaModel::describe() const {
  switch (kind) {
    case SherpaModelKind::transducer:
      return "streaming transducer (" + modelType + ")";
    case SherpaModelKind::nemoCtc:
      return "streaming NeMo CTC";
    case SherpaModelKind::zipformer2Ctc:
      return "streaming zipformer2 CTC";
  }
  return "streaming model";
}

bool looksLikeSherpaModel(const fs::path& dir) {
  if (!isFile(dir / "tokens.txt")) return false;
  const bool transducer =
      pickPart(dir, "encoder") && pickPart(dir, "decoder") && pickPart(dir, "joiner");
  return transducer || pickPart(dir, "model");
}

std::variant<SherpaModel, SherpaModelProblem> inspectSherpaModel(const fs::path& dir) {
  std::error_code ec;
  if (!fs::is_directory(dir, ec))
    return missing("the model directory " + dir.string() + " is missing");
  SherpaModel m;
  m.directory = dir;
  m.tokens = dir / "tokens.txt";
  if (!isFile(m.tokens)) return missing("the model in " + dir.string() + " has no tokens.txt");

  auto encoder = pickPart(dir, "encoder");
  auto decoder = pickPart(dir, "decoder");
  auto joiner = pickPart(dir, "joiner");
  auto single = pickPart(dir, "model");
  const bool anyTransducerPart = encoder || decoder || joiner;
  if (anyTransducerPart && !(encoder && decoder && joiner)) {
    return missing("the transducer in " + dir.string() + " lacks " +
                   std::string(!encoder   ? "encoder-*.onnx"
                               : !decoder ? "decoder-*.onnx"
                                          : "joiner-*.onnx"));
  }
  if (!anyTransducerPart && !single) {
    return missing("the model in " + dir.string() +
                   " has neither encoder/decoder/joiner-*.onnx nor model*.onnx");
  }

  std::string error;
  auto tokens = readTokens(m.tokens, error);
  if (!tokens) return broken(error);
  m.tokenCount = tokens->count;
  m.upperCase = tokens->upperCase;
  if (isFile(dir / "bpe.vocab")) m.bpeVocab = dir / "bpe.vocab";

  if (anyTransducerPart) {
    m.kind = SherpaModelKind::transducer;
    m.encoder = *encoder;
    m.decoder = *decoder;
    m.joiner = *joiner;
    OnnxModelInfo enc, dec, join;
    if (auto p = checkOnnx(m.encoder, enc)) return *p;
    if (auto p = checkOnnx(m.decoder, dec)) return *p;
    if (auto p = checkOnnx(m.joiner, join)) return *p;
    auto type = enc.metadata.find("model_type");
    if (type == enc.metadata.end() || type->second.empty()) {
      return broken(m.encoder.filename().string() +
                    " names no model_type (an offline or unexported model?)");
    }
    m.modelType = type->second;
    auto keys = transducerEncoderKeys().find(m.modelType);
    if (keys == transducerEncoderKeys().end()) {
      return broken(m.encoder.filename().string() + " has model_type \"" + m.modelType +
                    "\", which is no streaming transducer type this recognizer takes");
    }
    if (auto p =
            requireKeys(m.encoder, enc, keys->second, "a streaming " + m.modelType + " encoder"))
      return *p;
    if (auto p = requireKeys(m.decoder, dec, {"vocab_size", "context_size"}, "a decoder"))
      return *p;
    auto vocab = intMetadata(dec, "vocab_size");
    if (!vocab || *vocab != m.tokenCount) {
      return broken(m.decoder.filename().string() + " has vocab_size " +
                    dec.metadata["vocab_size"] + " but tokens.txt has " +
                    std::to_string(m.tokenCount) + " tokens");
    }
    auto context = intMetadata(dec, "context_size");
    if (!context || *context < 1) {
      return broken(m.decoder.filename().string() + " has no usable context_size");
    }
    return m;
  }

  // CTC: model.onnx, else the one model*.onnx.
  m.model = isFile(dir / "model.onnx") ? dir / "model.onnx" : *single;
  if (!tokens->symbols.count("<blk>") && !tokens->symbols.count("<eps>") &&
      !tokens->symbols.count("<blank>")) {
    return broken("the CTC model's tokens.txt has no blank (<blk>, <eps> or <blank>)");
  }
  OnnxModelInfo info;
  if (auto p = checkOnnx(m.model, info)) return *p;
  if (info.metadata.count("window_size")) {
    m.kind = SherpaModelKind::nemoCtc;
    if (auto p = requireKeys(m.model, info, kNemoCtcKeys, "a streaming NeMo CTC model")) return *p;
    auto vocab = intMetadata(info, "vocab_size");
    // NeMo does not count the blank, which is the last id.
    if (!vocab || *vocab + 1 != m.tokenCount) {
      return broken(m.model.filename().string() + " has vocab_size " + info.metadata["vocab_size"] +
                    " (plus a blank) but tokens.txt has " + std::to_string(m.tokenCount) +
                    " tokens");
    }
    return m;
  }
  if (info.metadata.count("encoder_dims") || info.metadata.count("decode_chunk_len")) {
    m.kind = SherpaModelKind::zipformer2Ctc;
    if (auto p = requireKeys(m.model, info, kZipformer2CtcKeys, "a streaming zipformer2 CTC model"))
      return *p;
    return m;
  }
  return broken(m.model.filename().string() +
                " is no streaming CTC model this recognizer takes (its metadata names neither "
                "a NeMo nor a zipformer2 streaming model; an offline model?)");
}

}  // namespace quorvel::speech
