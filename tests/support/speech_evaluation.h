// Tools for measuring the recognizer: word error rate against a reference transcription, and
// reading the 16-bit PCM WAV recordings used as test audio.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quorvel::speech {

// Lower-case words of a text, punctuation other than apostrophes dropped; sentence marks ("<s>",
// "</s>") and a trailing utterance id in parentheses, as transcription files carry them, removed.
std::vector<std::string> evaluationWords(const std::string& text);

struct WordErrors {
  size_t errors = 0;  // substitutions + deletions + insertions
  size_t referenceWords = 0;
  double rate() const {
    return referenceWords ? static_cast<double>(errors) / referenceWords : 0.0;
  }
};

WordErrors wordErrors(const std::string& reference, const std::string& hypothesis);

struct WavAudio {
  int sampleRate = 0;
  std::vector<int16_t> samples;  // mono (channels averaged)
};

// Reads a RIFF/WAVE file with 16-bit PCM samples; nothing when it is not one.
std::optional<WavAudio> readPcm16Wav(const std::filesystem::path& path);

}  // namespace quorvel::speech
