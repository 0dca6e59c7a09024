#include "caption_engine/runtime/sphinx/context_terms.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <set>
#include <utility>

namespace quorvel::speech {

namespace {

bool isLetter(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }

bool pronounceable(const std::string& word) {
  bool letter = false;
  for (char c : word) {
    if (isLetter(c))
      letter = true;
    else if (c != '\'')
      return false;
  }
  return letter;
}

// Letter groups and their phones, longest first where groups overlap.
struct LetterRule {
  const char* letters;
  const char* phones;
};
constexpr LetterRule kLetterRules[] = {
    {"tch", "CH"},  {"igh", "AY"}, {"sch", "S K"}, {"ch", "CH"},  {"sh", "SH"}, {"th", "TH"},
    {"ph", "F"},    {"ck", "K"},   {"ng", "NG"},   {"qu", "K W"}, {"wh", "W"},  {"kn", "N"},
    {"ee", "IY"},   {"ea", "IY"},  {"oo", "UW"},   {"ai", "EY"},  {"ay", "EY"}, {"oa", "OW"},
    {"ou", "AW"},   {"ow", "OW"},  {"oi", "OY"},   {"oy", "OY"},  {"au", "AO"}, {"aw", "AO"},
    {"ew", "UW"},   {"ie", "IY"},  {"er", "ER"},   {"ir", "ER"},  {"ur", "ER"}, {"ar", "AA R"},
    {"or", "AO R"}, {"x", "K S"},  {"a", "AE"},    {"b", "B"},    {"c", "K"},   {"d", "D"},
    {"e", "EH"},    {"f", "F"},    {"g", "G"},     {"h", "HH"},   {"i", "IH"},  {"j", "JH"},
    {"k", "K"},     {"l", "L"},    {"m", "M"},     {"n", "N"},    {"o", "AA"},  {"p", "P"},
    {"q", "K"},     {"r", "R"},    {"s", "S"},     {"t", "T"},    {"u", "AH"},  {"v", "V"},
    {"w", "W"},     {"y", "IY"},   {"z", "Z"},
};

// The letter rule matching at position i: its length and phones, or length 0.
std::pair<size_t, std::string> letterRuleAt(const std::string& w, size_t i) {
  // A final "e" after a consonant is silent ("lane"); a doubled consonant sounds once.
  if (w[i] == 'e' && i + 1 == w.size() && i >= 2 && !std::strchr("aeiou", w[i - 1])) return {1, ""};
  if (i > 0 && w[i] == w[i - 1] && !std::strchr("aeiou", w[i])) return {1, ""};
  if (w[i] == 'y' && i == 0) return {1, "Y"};
  for (const LetterRule& r : kLetterRules) {
    size_t n = std::strlen(r.letters);
    if (w.compare(i, n, r.letters) == 0) return {n, r.phones};
  }
  return {1, ""};  // an apostrophe or another silent mark
}

std::string join(const std::string& a, const std::string& b) {
  if (a.empty()) return b;
  if (b.empty()) return a;
  return a + " " + b;
}

}  // namespace

std::vector<std::vector<std::string>> contextTermWords(const std::vector<std::string>& terms) {
  std::vector<std::vector<std::string>> out;
  for (const std::string& term : terms) {
    std::vector<std::string> words;
    std::string word;
    auto flush = [&] {
      // Apostrophes at the edges are quotes, not part of the word.
      while (!word.empty() && word.front() == '\'') word.erase(word.begin());
      while (!word.empty() && word.back() == '\'') word.pop_back();
      if (!word.empty()) words.push_back(word);
      word.clear();
    };
    for (char c : term) {
      unsigned char u = static_cast<unsigned char>(c);
      if (std::isalnum(u) || c == '\'' || u >= 0x80) {
        word.push_back(static_cast<char>(std::tolower(u)));
      } else {
        flush();
      }
    }
    flush();
    if (!words.empty()) out.push_back(std::move(words));
  }
  return out;
}

std::string contextLanguageModelArpa(const std::vector<std::vector<std::string>>& termWords) {
  std::set<std::string> unigrams;
  std::map<std::string, std::set<std::string>> successors;
  for (const auto& words : termWords) {
    const std::string* previous = nullptr;
    for (const std::string& w : words) {
      if (!pronounceable(w)) {
        previous = nullptr;
        continue;
      }
      unigrams.insert(w);
      if (previous) successors[*previous].insert(w);
      previous = &*unigrams.find(w);
    }
  }
  if (unigrams.empty()) return {};
  size_t bigrams = 0;
  for (const auto& [w, next] : successors) bigrams += next.size();

  char line[64];
  // Every word and the sentence end are equally likely; a word that starts a known pair passes
  // half of its mass to its successors and backs off with the other half.
  std::snprintf(line, sizeof line, "%.6f", -std::log10(static_cast<double>(unigrams.size() + 1)));
  const std::string unigramLogProb = line;
  std::string arpa = "\\data\\\nngram 1=" + std::to_string(unigrams.size() + 2) + "\n";
  if (bigrams > 0) arpa += "ngram 2=" + std::to_string(bigrams) + "\n";
  arpa += "\n\\1-grams:\n-99.000000 <s> 0.000000\n" + unigramLogProb + " </s> 0.000000\n";
  const std::string halfBackoff = "-0.301030";
  for (const std::string& w : unigrams) {
    arpa +=
        unigramLogProb + " " + w + " " + (successors.count(w) ? halfBackoff : "0.000000") + "\n";
  }
  if (bigrams > 0) {
    arpa += "\n\\2-grams:\n";
    for (const auto& [w, next] : successors) {
      std::snprintf(line, sizeof line, "%.6f", std::log10(0.5 / static_cast<double>(next.size())));
      for (const std::string& n : next) arpa += std::string(line) + " " + w + " " + n + "\n";
    }
  }
  arpa += "\n\\end\\\n";
  return arpa;
}

std::optional<std::string> guessPronunciation(const std::string& word,
                                              const PronunciationLookup& lookup) {
  std::string w;
  for (char c : word) {
    if (isLetter(c))
      w.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    else if (c == '\'')
      w.push_back(c);
  }
  bool anyLetter = false;
  for (char c : w) anyLetter = anyLetter || isLetter(c);
  if (!anyLetter) return std::nullopt;

  // Cheapest cover of the word: a known piece of three or more letters costs 1, a letter group
  // spelled out costs 2 (so known pieces win wherever they fit).
  const size_t n = w.size();
  const int kInf = std::numeric_limits<int>::max() / 2;
  std::vector<int> cost(n + 1, kInf);
  std::vector<std::string> phones(n + 1);
  cost[0] = 0;
  for (size_t i = 0; i < n; ++i) {
    if (cost[i] >= kInf) continue;
    auto [len, rulePhones] = letterRuleAt(w, i);
    if (cost[i] + 2 < cost[i + len]) {
      cost[i + len] = cost[i] + 2;
      phones[i + len] = join(phones[i], rulePhones);
    }
    for (size_t j = i + 3; j <= n; ++j) {
      if (i == 0 && j == n) continue;  // the whole word is what we are guessing
      if (cost[i] + 1 >= cost[j]) continue;
      if (auto known = lookup(w.substr(i, j - i))) {
        cost[j] = cost[i] + 1;
        phones[j] = join(phones[i], *known);
      }
    }
  }
  if (phones[n].empty()) return std::nullopt;
  return phones[n];
}

}  // namespace quorvel::speech
