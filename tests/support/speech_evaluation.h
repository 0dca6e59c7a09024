// Tools for measuring the recognizer: word error rate against a reference transcription (the
// recordings themselves are read with wav_file.h).
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

}  // namespace quorvel::speech
