#include "caption_engine/audio/ffmpeg_library.h"

#include "caption_engine/base/lazy_library.h"

#define QUORVEL_STRINGIFY2(x) #x
#define QUORVEL_STRINGIFY(x) QUORVEL_STRINGIFY2(x)

namespace quorvel {

namespace {

// The libraries, by the sonames of the version the headers above describe. They and the tables
// below are made once and never destroyed: a session thread that outlives its runtime (teardown
// does not join a thread that may be inside a host callback) may still use them while the process
// exits.
LazyLibrary& avutil() {
  static LazyLibrary& library =
      *new LazyLibrary({"libavutil.so." QUORVEL_STRINGIFY(LIBAVUTIL_VERSION_MAJOR)});
  return library;
}
LazyLibrary& avcodec() {
  static LazyLibrary& library =
      *new LazyLibrary({"libavcodec.so." QUORVEL_STRINGIFY(LIBAVCODEC_VERSION_MAJOR)});
  return library;
}
LazyLibrary& avformat() {
  static LazyLibrary& library =
      *new LazyLibrary({"libavformat.so." QUORVEL_STRINGIFY(LIBAVFORMAT_VERSION_MAJOR)});
  return library;
}
LazyLibrary& swresample() {
  static LazyLibrary& library =
      *new LazyLibrary({"libswresample.so." QUORVEL_STRINGIFY(LIBSWRESAMPLE_VERSION_MAJOR)});
  return library;
}

// A table of functions and why it could not be filled, made once.
template <class Table>
struct Loaded {
  Table table;
  std::string error;
  bool ok = true;

  template <class F>
  void bind(LazyLibrary& library, F*& function, const char* name) {
    if (!ok) return;
    if (library.bind(function, name)) return;
    ok = false;
    error = library.error();
  }
};

#define QUORVEL_FFMPEG_BIND(library, name) loaded.bind(library(), loaded.table.name, #name);

const Loaded<FfmpegResampling>& resampling() {
  static const Loaded<FfmpegResampling>& once = *[] {
    auto* made = new Loaded<FfmpegResampling>;
    auto& loaded = *made;
    QUORVEL_FFMPEG_RESAMPLING_FUNCTIONS(QUORVEL_FFMPEG_BIND)
    return made;
  }();
  return once;
}

const Loaded<FfmpegDecoding>& decoding() {
  static const Loaded<FfmpegDecoding>& once = *[] {
    auto* made = new Loaded<FfmpegDecoding>;
    auto& loaded = *made;
    QUORVEL_FFMPEG_DECODING_FUNCTIONS(QUORVEL_FFMPEG_BIND)
    return made;
  }();
  return once;
}

#undef QUORVEL_FFMPEG_BIND

template <class Table>
const Table* result(const Loaded<Table>& loaded, std::string* error) {
  if (loaded.ok) return &loaded.table;
  if (error) *error = loaded.error;
  return nullptr;
}

}  // namespace

const FfmpegResampling* loadFfmpegResampling(std::string* error) {
  return result(resampling(), error);
}

const FfmpegDecoding* loadFfmpegDecoding(std::string* error) {
  // Reading a file resamples too.
  if (!loadFfmpegResampling(error)) return nullptr;
  return result(decoding(), error);
}

}  // namespace quorvel
