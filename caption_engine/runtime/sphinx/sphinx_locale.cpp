#include "caption_engine/runtime/sphinx/sphinx_locale.h"

#include <cctype>
#include <vector>

namespace quorvel::speech {

namespace {

bool allOf(const std::string& s, int (*pred)(int)) {
  for (unsigned char c : s) {
    if (!pred(c)) return false;
  }
  return !s.empty();
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

std::optional<std::string> canonicalLocaleTag(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  std::string tag = text.substr(begin, end - begin);
  if (size_t cut = tag.find_first_of(".@"); cut != std::string::npos) tag.resize(cut);
  for (char& c : tag) {
    if (c == '_') c = '-';
  }

  std::vector<std::string> subtags;
  size_t start = 0;
  while (true) {
    size_t dash = tag.find('-', start);
    std::string piece =
        tag.substr(start, dash == std::string::npos ? std::string::npos : dash - start);
    if (piece.empty() || piece.size() > 8 || !allOf(piece, std::isalnum)) return std::nullopt;
    subtags.push_back(piece);
    if (dash == std::string::npos) break;
    start = dash + 1;
  }

  const std::string& language = subtags[0];
  if (language.size() < 2 || language.size() > 3 || !allOf(language, std::isalpha))
    return std::nullopt;
  std::string out = lower(language);

  size_t i = 1;
  if (i < subtags.size() && subtags[i].size() == 4 && allOf(subtags[i], std::isalpha)) {
    std::string script = lower(subtags[i]);
    script[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(script[0])));
    out += "-" + script;
    ++i;
  }
  if (i < subtags.size()) {
    const std::string& s = subtags[i];
    if (s.size() == 2 && allOf(s, std::isalpha)) {
      out += "-" + upper(s);
      ++i;
    } else if (s.size() == 3 && allOf(s, std::isdigit)) {
      out += "-" + s;
      ++i;
    }
  }
  for (; i < subtags.size(); ++i) {
    const std::string& s = subtags[i];
    if (s.size() == 1) break;  // an extension or private use follows: not part of the locale
    bool variant =
        s.size() >= 5 || (s.size() == 4 && std::isdigit(static_cast<unsigned char>(s[0])));
    if (!variant) return std::nullopt;
    out += "-" + lower(s);
  }
  return out;
}

bool equivalentLocaleTags(const std::string& a, const std::string& b) {
  auto ca = canonicalLocaleTag(a);
  auto cb = canonicalLocaleTag(b);
  return ca && cb && *ca == *cb;
}

}  // namespace quorvel::speech
