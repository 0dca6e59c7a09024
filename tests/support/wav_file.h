// 16-bit PCM WAV files, the form of the test recordings: reading one (whatever chunks it has
// before its audio), writing one, and the little that is done to them in tests and benchmarks.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

namespace quorvel::support {

struct WavAudio {
  int sampleRate = 0;
  int channels = 1;
  std::vector<int16_t> samples;  // interleaved

  int64_t frames() const {
    return channels > 0 ? static_cast<int64_t>(samples.size()) / channels : 0;
  }
  int64_t durationMs() const { return sampleRate > 0 ? frames() * 1000 / sampleRate : 0; }
  // The channels averaged into one.
  WavAudio mono() const;
  // Silence of that length added at the end (whole frames).
  void appendSilence(int64_t ms);
};

// Nothing when the file cannot be read or is not 16-bit PCM WAV.
std::optional<WavAudio> readWav(const std::filesystem::path& path);
// readWav with the channels averaged into one, as a recognizer takes a recording.
std::optional<WavAudio> readMonoWav(const std::filesystem::path& path);
// False when the file cannot be written.
bool writeWav(const std::filesystem::path& path, const WavAudio& audio);

}  // namespace quorvel::support
