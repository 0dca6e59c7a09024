// Unicode text rules over UTF-8. Code points are decoded with ICU's UTF-8 macros; a byte that does
// not start a well-formed sequence is kept as it is and is never white space.
#include "caption_engine/logic/caption_text.h"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>

namespace quorvel::CaptionText {
namespace {

// A decoded code point and the byte range it occupies; cp is negative for an ill-formed sequence.
struct Decoded {
  int32_t cp;
  size_t begin;
  size_t end;
};

// Decodes the code point at byte offset i. For ill-formed input ICU advances over the maximal
// ill-formed subsequence, so the loop always makes progress.
Decoded decodeAt(std::string_view s, size_t i) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(s.data());
  if (bytes[i] < 0x80) return {bytes[i], i, i + 1};
  // The ICU macros index with int32_t; feed them at most a window that fits. A code point is at
  // most 4 bytes long.
  const size_t window = std::min<size_t>(s.size() - i, 4);
  int32_t offset = 0;
  UChar32 c = 0;
  U8_NEXT(bytes + i, offset, static_cast<int32_t>(window), c);
  return {c, i, i + static_cast<size_t>(offset)};
}

template <class Pred>
std::string trimmedBy(std::string_view s, Pred isSpace) {
  size_t first = s.size();
  size_t lastEnd = 0;
  for (size_t i = 0; i < s.size();) {
    Decoded d = decodeAt(s, i);
    if (d.cp < 0 || !isSpace(static_cast<char32_t>(d.cp))) {
      if (first == s.size()) first = d.begin;
      lastEnd = d.end;
    }
    i = d.end;
  }
  if (first == s.size()) return {};
  return std::string(s.substr(first, lastEnd - first));
}

bool isAscii(std::string_view s) {
  for (char ch : s) {
    if (static_cast<unsigned char>(ch) >= 0x80) return false;
  }
  return true;
}

void appendLowerValid(std::string_view validUtf8, std::string& out) {
  if (validUtf8.empty()) return;
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(
      icu::StringPiece(validUtf8.data(), static_cast<int32_t>(validUtf8.size())));
  u.toLower(icu::Locale::getRoot());
  u.toUTF8String(out);
}

}  // namespace

bool isWhitespaceOrNewline(char32_t c) {
  if ((c >= 0x09 && c <= 0x0D) || c == 0x85) return true;
  if (c > 0x10FFFF) return false;
  return (U_GET_GC_MASK(static_cast<UChar32>(c)) & U_GC_Z_MASK) != 0;
}

bool isHorizontalWhitespace(char32_t c) {
  if (c == 0x09) return true;
  if (c > 0x10FFFF) return false;
  return u_charType(static_cast<UChar32>(c)) == U_SPACE_SEPARATOR;
}

std::string trimmed(std::string_view utf8) { return trimmedBy(utf8, isWhitespaceOrNewline); }

std::string trimmedHorizontal(std::string_view utf8) {
  return trimmedBy(utf8, isHorizontalWhitespace);
}

std::vector<std::string> words(std::string_view utf8) {
  std::vector<std::string> out;
  size_t wordBegin = 0;
  bool inWord = false;
  for (size_t i = 0; i < utf8.size();) {
    Decoded d = decodeAt(utf8, i);
    const bool space = d.cp >= 0 && isWhitespaceOrNewline(static_cast<char32_t>(d.cp));
    if (space && inWord) {
      out.emplace_back(utf8.substr(wordBegin, d.begin - wordBegin));
      inWord = false;
    } else if (!space && !inWord) {
      wordBegin = d.begin;
      inWord = true;
    }
    i = d.end;
  }
  if (inWord) out.emplace_back(utf8.substr(wordBegin));
  return out;
}

std::string lowercased(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  if (isAscii(utf8)) {
    // ASCII letters have one-to-one lower-case forms with no context rules.
    for (char ch : utf8) out.push_back((ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch + 32) : ch);
    return out;
  }
  // Lower-case each well-formed run as a whole (final sigma depends on its neighbours) and copy
  // ill-formed bytes through unchanged.
  size_t runBegin = 0;
  for (size_t i = 0; i < utf8.size();) {
    Decoded d = decodeAt(utf8, i);
    if (d.cp < 0) {
      appendLowerValid(utf8.substr(runBegin, d.begin - runBegin), out);
      out.append(utf8.substr(d.begin, d.end - d.begin));
      runBegin = d.end;
    }
    i = d.end;
  }
  appendLowerValid(utf8.substr(runBegin), out);
  return out;
}

}  // namespace quorvel::CaptionText
