#include "tests/support/wav_file.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

namespace quorvel::support {

namespace {

void putLe(std::string& out, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

}  // namespace

WavAudio WavAudio::mono() const {
  if (channels <= 1) return *this;
  WavAudio out;
  out.sampleRate = sampleRate;
  out.channels = 1;
  out.samples.resize(static_cast<size_t>(frames()));
  for (size_t f = 0; f < out.samples.size(); ++f) {
    int sum = 0;
    for (int c = 0; c < channels; ++c) sum += samples[f * static_cast<size_t>(channels) + c];
    out.samples[f] = static_cast<int16_t>(sum / channels);
  }
  return out;
}

void WavAudio::appendSilence(int64_t ms) {
  const int64_t frames = ms * sampleRate / 1000;
  samples.insert(samples.end(), static_cast<size_t>(frames * channels), int16_t{0});
}

std::optional<WavAudio> readWav(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  const std::vector<unsigned char> d((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
  auto u32 = [&](size_t at) {
    return uint32_t(d[at]) | uint32_t(d[at + 1]) << 8 | uint32_t(d[at + 2]) << 16 |
           uint32_t(d[at + 3]) << 24;
  };
  auto u16 = [&](size_t at) { return uint16_t(d[at] | d[at + 1] << 8); };
  if (d.size() < 12 || std::memcmp(d.data(), "RIFF", 4) != 0 ||
      std::memcmp(d.data() + 8, "WAVE", 4) != 0) {
    return std::nullopt;
  }
  WavAudio out;
  bool pcm16 = false;
  size_t at = 12;
  while (at + 8 <= d.size()) {
    const uint32_t size = u32(at + 4);
    const size_t body = at + 8;
    const size_t bodyEnd = std::min(d.size(), body + size);
    if (std::memcmp(d.data() + at, "fmt ", 4) == 0 && bodyEnd - body >= 16) {
      pcm16 = u16(body) == 1 && u16(body + 14) == 16;
      out.channels = u16(body + 2);
      out.sampleRate = static_cast<int>(u32(body + 4));
    } else if (std::memcmp(d.data() + at, "data", 4) == 0) {
      if (!pcm16 || out.channels <= 0) return std::nullopt;
      const size_t frames = (bodyEnd - body) / (2 * static_cast<size_t>(out.channels));
      out.samples.resize(frames * static_cast<size_t>(out.channels));
      for (size_t i = 0; i < out.samples.size(); ++i)
        out.samples[i] = static_cast<int16_t>(u16(body + i * 2));
      return out;
    }
    at = body + size + (size & 1);
  }
  return std::nullopt;
}

std::optional<WavAudio> readMonoWav(const std::filesystem::path& path) {
  auto audio = readWav(path);
  if (!audio) return std::nullopt;
  return audio->mono();
}

bool writeWav(const std::filesystem::path& path, const WavAudio& audio) {
  const auto bytes = static_cast<uint32_t>(audio.samples.size() * 2);
  const auto channels = static_cast<uint32_t>(audio.channels);
  const auto rate = static_cast<uint32_t>(audio.sampleRate);
  std::string header = "RIFF";
  putLe(header, 36 + bytes, 4);
  header += "WAVEfmt ";
  putLe(header, 16, 4);
  putLe(header, 1, 2);  // PCM
  putLe(header, channels, 2);
  putLe(header, rate, 4);
  putLe(header, rate * channels * 2, 4);
  putLe(header, channels * 2, 2);
  putLe(header, 16, 2);
  header += "data";
  putLe(header, bytes, 4);
  std::ofstream f(path, std::ios::binary);
  f.write(header.data(), static_cast<std::streamsize>(header.size()));
  // Samples are written as this machine holds them: little-endian, like the format.
  f.write(reinterpret_cast<const char*>(audio.samples.data()), static_cast<std::streamsize>(bytes));
  return static_cast<bool>(f);
}

}  // namespace quorvel::support
