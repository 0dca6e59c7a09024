// What can be read from an ONNX model file without loading it: its IR version, the operator set
// versions it imports and its metadata properties. The file is walked as the protocol-buffer
// message it must be (ModelProto), seeking over the graph, so a large model costs a few reads.
//
// Used to turn away, before the recognizer sees them, files that onnxruntime would refuse in a
// way that ends the process (its exceptions are not caught on the way to us).
//
// Threads: a plain function of the file; any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace quorvel::speech {

struct OnnxModelInfo {
  int64_t irVersion = 0;
  // Operator set version of each imported domain ("" is the default ONNX domain).
  std::map<std::string, int64_t> opsets;
  std::map<std::string, std::string> metadata;
  bool hasGraph = false;
};

// The model's information, or nothing with *error saying why the file is not an ONNX model.
std::optional<OnnxModelInfo> readOnnxModelInfo(const std::filesystem::path& file,
                                               std::string* error);

}  // namespace quorvel::speech
