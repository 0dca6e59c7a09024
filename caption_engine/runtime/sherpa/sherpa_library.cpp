#include "caption_engine/runtime/sherpa/sherpa_library.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

namespace quorvel::speech {

namespace fs = std::filesystem;

namespace {

constexpr const char* kLibraryName = "libsherpa-onnx-c-api.so";

std::atomic<bool> gLoaded{false};

struct Loaded {
  SherpaLibrary library;
  std::string error;
  bool ok = false;
};

template <class F>
bool resolve(void* handle, const char* name, F& slot, std::string& error) {
  slot = reinterpret_cast<F>(dlsym(handle, name));
  if (!slot && error.empty()) error = std::string("it has no ") + name;
  return slot != nullptr;
}

Loaded open() {
  Loaded out;
  std::string tried;
  void* handle = nullptr;
  for (const fs::path& candidate : SherpaLibrary::candidates()) {
    // A bare name goes through the system's library path; a path is opened only if it exists.
    std::error_code ec;
    if (candidate.has_parent_path() && !fs::exists(candidate, ec)) continue;
    handle = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle) {
      out.library.path = candidate.string();
      break;
    }
    const char* why = dlerror();
    if (!tried.empty()) tried += "; ";
    tried += why ? why : candidate.string();
  }
  if (!handle) {
    out.error = "the neural recognizer's library (" + std::string(kLibraryName) +
                ") is not installed (run scripts/fetch-sherpa.sh)" +
                (tried.empty() ? "" : ": " + tried);
    return out;
  }
  SherpaLibrary& l = out.library;
  std::string missing;
  resolve(handle, "SherpaOnnxGetVersionStr", l.getVersionStr, missing);
  resolve(handle, "SherpaOnnxCreateOnlineRecognizer", l.createOnlineRecognizer, missing);
  resolve(handle, "SherpaOnnxDestroyOnlineRecognizer", l.destroyOnlineRecognizer, missing);
  resolve(handle, "SherpaOnnxCreateOnlineStream", l.createOnlineStream, missing);
  resolve(handle, "SherpaOnnxCreateOnlineStreamWithHotwords", l.createOnlineStreamWithHotwords,
          missing);
  resolve(handle, "SherpaOnnxDestroyOnlineStream", l.destroyOnlineStream, missing);
  resolve(handle, "SherpaOnnxOnlineStreamAcceptWaveform", l.acceptWaveform, missing);
  resolve(handle, "SherpaOnnxIsOnlineStreamReady", l.isOnlineStreamReady, missing);
  resolve(handle, "SherpaOnnxDecodeOnlineStream", l.decodeOnlineStream, missing);
  resolve(handle, "SherpaOnnxGetOnlineStreamResult", l.getOnlineStreamResult, missing);
  resolve(handle, "SherpaOnnxDestroyOnlineRecognizerResult", l.destroyOnlineRecognizerResult,
          missing);
  resolve(handle, "SherpaOnnxOnlineStreamReset", l.onlineStreamReset, missing);
  resolve(handle, "SherpaOnnxOnlineStreamInputFinished", l.onlineStreamInputFinished, missing);
  resolve(handle, "SherpaOnnxOnlineStreamIsEndpoint", l.onlineStreamIsEndpoint, missing);
  if (!missing.empty()) {
    out.error = "the neural recognizer's library " + out.library.path + " is unusable: " + missing;
    return out;  // the handle stays open: closing libraries with C++ statics is not safe
  }
  out.ok = true;
  return out;
}

}  // namespace

std::vector<fs::path> SherpaLibrary::candidates() {
  std::vector<fs::path> out;
  if (const char* dir = std::getenv("QUORVEL_SHERPA_DIR"); dir && dir[0] == '/')
    out.push_back(fs::path(dir) / kLibraryName);
#ifdef QUORVEL_SHERPA_BUILD_DIR
  out.push_back(fs::path(QUORVEL_SHERPA_BUILD_DIR) / kLibraryName);
#endif
  out.push_back(kLibraryName);
  return out;
}

bool SherpaLibrary::available() {
  for (const fs::path& c : candidates()) {
    std::error_code ec;
    if (c.has_parent_path() && fs::exists(c, ec)) return true;
  }
  // The system's library path is not searched without opening; a library found only there
  // counts once it has been opened.
  return loaded();
}

const SherpaLibrary* SherpaLibrary::get(std::string* error) {
  static std::once_flag once;
  // Never destroyed: a session thread that outlives its runtime may still use the library while
  // the process exits.
  static Loaded& loaded = *new Loaded;
  std::call_once(once, [] {
    loaded = open();
    gLoaded.store(loaded.ok);
  });
  if (!loaded.ok) {
    if (error) *error = loaded.error;
    return nullptr;
  }
  return &loaded.library;
}

bool SherpaLibrary::loaded() { return gLoaded.load(); }

}  // namespace quorvel::speech
