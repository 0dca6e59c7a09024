// The neural recognizer's library, sherpa-onnx's C API with the onnxruntime beside it, opened with
// dlopen the first time a session needs it, so that a process that never runs a neural model
// never maps it (start-up and memory stay those of the pocketsphinx engine), and a machine or
// build without it still works.
//
// Where it is looked for: the directory in $QUORVEL_SHERPA_DIR when set, then the directory the
// build found it in (scripts/fetch-sherpa.sh's cache), then the system's library path.
//
// Threads: any thread; the first caller opens it, later callers get the same answer. Once opened
// it stays for the life of the process.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "caption_engine/runtime/sherpa/sherpa_c_api.h"

namespace quorvel::speech {

struct SherpaLibrary {
  sherpa_api::GetVersionStrFn getVersionStr = nullptr;
  sherpa_api::CreateOnlineRecognizerFn createOnlineRecognizer = nullptr;
  sherpa_api::DestroyOnlineRecognizerFn destroyOnlineRecognizer = nullptr;
  sherpa_api::CreateOnlineStreamFn createOnlineStream = nullptr;
  sherpa_api::CreateOnlineStreamWithHotwordsFn createOnlineStreamWithHotwords = nullptr;
  sherpa_api::DestroyOnlineStreamFn destroyOnlineStream = nullptr;
  sherpa_api::AcceptWaveformFn acceptWaveform = nullptr;
  sherpa_api::IsOnlineStreamReadyFn isOnlineStreamReady = nullptr;
  sherpa_api::DecodeOnlineStreamFn decodeOnlineStream = nullptr;
  sherpa_api::GetOnlineStreamResultFn getOnlineStreamResult = nullptr;
  sherpa_api::DestroyOnlineRecognizerResultFn destroyOnlineRecognizerResult = nullptr;
  sherpa_api::OnlineStreamResetFn onlineStreamReset = nullptr;
  sherpa_api::OnlineStreamInputFinishedFn onlineStreamInputFinished = nullptr;
  sherpa_api::OnlineStreamIsEndpointFn onlineStreamIsEndpoint = nullptr;
  std::string path;  // the file that was opened

  // The opened library, or nullptr with *error saying why it cannot be had.
  static const SherpaLibrary* get(std::string* error);
  // Whether it has been opened in this process (for tests and benchmarks of laziness).
  static bool loaded();
  // The library files that would be tried, in order (no file is opened).
  static std::vector<std::filesystem::path> candidates();
  // Whether one of the candidate files exists (no file is opened).
  static bool available();
};

}  // namespace quorvel::speech
