#include "caption_engine/runtime/sphinx/sphinx_text.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>

namespace quorvel::speech {

namespace {

// Words the profanity filter masks, lower case. Kept deliberately short: the common English
// swear words and their usual inflections.
constexpr std::array<std::string_view, 30> kProfanities = {
    "arse",   "arsehole", "ass",    "asshole",      "bastard", "bitch",  "bitches", "bullshit",
    "cock",   "cunt",     "dick",   "dickhead",     "fuck",    "fucked", "fucker",  "fuckers",
    "fuckin", "fucking",  "fucks",  "motherfucker", "piss",    "pissed", "prick",   "shit",
    "shits",  "shitting", "shitty", "slut",         "twat",    "wanker"};

bool isWordChar(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '\''; }

bool isProfanity(std::string_view word) {
  std::string w;
  for (char c : word) {
    if (c != '\'') w.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  }
  return std::find(kProfanities.begin(), kProfanities.end(), w) != kProfanities.end();
}

}  // namespace

bool isFillerWord(const std::string& word) {
  if (word.empty()) return true;
  if (word.front() == '<' && word.back() == '>') return true;
  if (word.front() == '[' && word.back() == ']') return true;
  if (word.size() >= 4 && word.starts_with("++") && word.ends_with("++")) return true;
  return false;
}

std::string baseWord(const std::string& word) {
  if (word.size() >= 3 && word.back() == ')') {
    size_t open = word.rfind('(');
    if (open != std::string::npos && open > 0 && open + 2 < word.size()) {
      bool digits = std::all_of(word.begin() + static_cast<long>(open) + 1, word.end() - 1,
                                [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
      if (digits) return word.substr(0, open);
    }
  }
  return word;
}

std::string cleanHypothesis(const std::string& hypothesis) {
  std::string out;
  size_t i = 0;
  while (i < hypothesis.size()) {
    while (i < hypothesis.size() && std::isspace(static_cast<unsigned char>(hypothesis[i]))) ++i;
    size_t start = i;
    while (i < hypothesis.size() && !std::isspace(static_cast<unsigned char>(hypothesis[i]))) ++i;
    if (start == i) break;
    std::string word = hypothesis.substr(start, i - start);
    if (isFillerWord(word)) continue;
    if (!out.empty()) out.push_back(' ');
    out += baseWord(word);
  }
  return out;
}

std::string maskProfanities(const std::string& text) {
  std::string out = text;
  size_t i = 0;
  while (i < out.size()) {
    if (!isWordChar(out[i])) {
      ++i;
      continue;
    }
    size_t start = i;
    while (i < out.size() && isWordChar(out[i])) ++i;
    if (!isProfanity(std::string_view(out).substr(start, i - start))) continue;
    bool first = true;
    for (size_t k = start; k < i; ++k) {
      if (!std::isalpha(static_cast<unsigned char>(out[k]))) continue;
      if (!first) out[k] = '*';
      first = false;
    }
  }
  return out;
}

}  // namespace quorvel::speech
