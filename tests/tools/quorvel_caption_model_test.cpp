// quorvel-caption --model DIR: captions with a neural model directory directly, without the
// model store, on a fabricated model and a synthetic signal it answers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <vector>

#include "tool_process.h"

namespace quorvel::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const fs::path kModels = QUORVEL_BINARY_DIR "/sherpa-test-models";
const std::string kTool = QUORVEL_BINARY_DIR "/bin/quorvel-caption";

// A 16 kHz WAV of 0.5 s silence, 0.3 s at 440 Hz ("hello"), 0.2 s silence, 0.3 s at 4 kHz
// ("world") and 0.6 s silence.
fs::path writeTones(const fs::path& path) {
  std::vector<int16_t> pcm;
  for (auto [hz, s] :
       std::vector<std::pair<int, double>>{{0, 0.5}, {440, 0.3}, {0, 0.2}, {4000, 0.3}, {0, 0.6}}) {
    for (int i = 0; i < static_cast<int>(s * 16000); ++i)
      pcm.push_back(hz ? static_cast<int16_t>(16384 * std::sin(2 * M_PI * hz * i / 16000.0)) : 0);
  }
  std::ofstream out(path, std::ios::binary);
  auto put = [&](uint32_t v, int n) { out.write(reinterpret_cast<const char*>(&v), n); };
  const uint32_t bytes = static_cast<uint32_t>(pcm.size() * 2);
  out.write("RIFF", 4);
  put(36 + bytes, 4);
  out.write("WAVEfmt ", 8);
  put(16, 4), put(1, 2), put(1, 2), put(16000, 4), put(32000, 4), put(2, 2), put(16, 2);
  out.write("data", 4);
  put(bytes, 4);
  out.write(reinterpret_cast<const char*>(pcm.data()), bytes);
  return path;
}

TEST(QuorvelCaptionModel, CaptionsWithAModelDirectoryAndLeavesNothingBehind) {
#ifndef QUORVEL_TEST_HAS_RECOGNIZER
  GTEST_SKIP() << "no recognizer in this build";
#endif
  if (!fs::exists(kModels / "transducer")) GTEST_SKIP() << "no fabricated models";
  const fs::path dir =
      fs::temp_directory_path() / ("quorvel-model-test-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const fs::path wav = writeTones(dir / "tones.wav");
  ToolRun r = runTool(kTool,
                      {"--unpaced", "--model", (kModels / "transducer").string(), "--srt",
                       (dir / "out.srt").string(), wav.string()},
                      60s);
  if (r.status == 1 && r.err.find("libsherpa-onnx-c-api.so") != std::string::npos)
    GTEST_SKIP() << "the sherpa-onnx library is not installed";
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Hello world\n");
  std::ifstream srt(dir / "out.srt");
  std::string text((std::istreambuf_iterator<char>(srt)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "1\n00:00:00,520 --> 00:00:01,040\nHello world\n\n");

  // A directory without a model is the locale's model missing.
  r = runTool(kTool, {"--model", dir.string(), wav.string()}, 30s);
  EXPECT_EQ(r.status, 5) << r.err;
  std::error_code ec;
  fs::remove_all(dir, ec);
}

}  // namespace
}  // namespace quorvel::testing
