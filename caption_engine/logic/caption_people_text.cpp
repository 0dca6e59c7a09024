#include "caption_engine/logic/caption_people_text.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>

#include "caption_engine/logic/caption_text.h"

namespace quorvel::CaptionPeopleText {

namespace {

struct Term {
  std::vector<std::string> keys;    // lower-cased words
  std::vector<std::string> spells;  // the host's words
};

std::vector<Term> prepare(const std::vector<std::string>& terms) {
  std::vector<Term> out;
  for (const std::string& t : terms) {
    Term term;
    term.spells = CaptionText::words(t);
    if (term.spells.empty()) continue;
    for (const std::string& w : term.spells) term.keys.push_back(CaptionText::lowercased(w));
    out.push_back(std::move(term));
  }
  // Longest first, so "New York City" wins over "New York"; equal lengths keep their order.
  std::stable_sort(out.begin(), out.end(),
                   [](const Term& a, const Term& b) { return a.keys.size() > b.keys.size(); });
  return out;
}

// "i", "i'm", "i've", "i'll", "i'd" (straight or curly apostrophe) with a capital I.
bool capitaliseI(std::string& word) {
  if (word == "i") {
    word = "I";
    return true;
  }
  static const std::string kCurly = "\xE2\x80\x99";  // U+2019
  static const std::string kTails[] = {"'m",         "'ve",         "'ll",         "'d",
                                       kCurly + "m", kCurly + "ve", kCurly + "ll", kCurly + "d"};
  for (const std::string& tail : kTails) {
    if (word.size() > 1 && word[0] == 'i' && word.compare(1, std::string::npos, tail) == 0) {
      word[0] = 'I';
      return true;
    }
  }
  return false;
}

// The word with its first code point in upper (title) case.
std::string withCapital(const std::string& word) {
  if (word.empty()) return word;
  const auto* bytes = reinterpret_cast<const uint8_t*>(word.data());
  int32_t offset = 0;
  UChar32 c = 0;
  U8_NEXT(bytes, offset, static_cast<int32_t>(std::min<size_t>(word.size(), 4)), c);
  if (c < 0) return word;
  UChar32 upper = u_totitle(c);
  if (upper == c) return word;
  char buf[4];
  int32_t n = 0;
  UBool error = false;
  U8_APPEND(reinterpret_cast<uint8_t*>(buf), n, 4, upper, error);
  if (error) return word;
  return std::string(buf, static_cast<size_t>(n)) + word.substr(static_cast<size_t>(offset));
}

}  // namespace

void apply(std::vector<std::string>& words, bool sentenceStart,
           const std::vector<std::string>& terms) {
  const std::vector<Term> prepared = prepare(terms);
  std::vector<bool> fromTerm(words.size(), false);
  std::vector<std::string> lower;
  lower.reserve(words.size());
  for (const std::string& w : words) lower.push_back(CaptionText::lowercased(w));
  for (size_t i = 0; i < words.size();) {
    const Term* hit = nullptr;
    for (const Term& t : prepared) {
      if (i + t.keys.size() > words.size()) continue;
      if (std::equal(t.keys.begin(), t.keys.end(), lower.begin() + static_cast<long>(i))) {
        hit = &t;
        break;
      }
    }
    if (!hit) {
      capitaliseI(words[i]);
      ++i;
      continue;
    }
    for (size_t k = 0; k < hit->spells.size(); ++k) {
      words[i + k] = hit->spells[k];
      fromTerm[i + k] = true;
    }
    i += hit->spells.size();
  }
  if (sentenceStart && !words.empty() && !fromTerm[0]) words[0] = withCapital(words[0]);
}

std::string apply(const std::string& text, bool sentenceStart,
                  const std::vector<std::string>& terms) {
  std::vector<std::string> words = CaptionText::words(text);
  apply(words, sentenceStart, terms);
  std::string out;
  for (const std::string& w : words) {
    if (!out.empty()) out.push_back(' ');
    out += w;
  }
  return out;
}

}  // namespace quorvel::CaptionPeopleText
