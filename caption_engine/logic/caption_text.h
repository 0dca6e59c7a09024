// Unicode text rules shared by the session rules and the helper: trimming, splitting on white
// space and locale-independent lower-casing of UTF-8 text. Invalid UTF-8 bytes are kept as they
// are and never count as white space.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quorvel::CaptionText {

// True for white space and line breaks: Unicode general category Z (Zs, Zl, Zp), U+0009 to
// U+000D, and U+0085.
bool isWhitespaceOrNewline(char32_t c);
// True for horizontal white space only: Unicode space separators (Zs) and U+0009.
bool isHorizontalWhitespace(char32_t c);

// Removes leading and trailing white space and line breaks.
std::string trimmed(std::string_view utf8);
// Removes leading and trailing horizontal white space only.
std::string trimmedHorizontal(std::string_view utf8);
// Splits at every white-space or line-break character and drops the empty pieces.
std::vector<std::string> words(std::string_view utf8);
// The full Unicode default (locale-independent) lower-case form.
std::string lowercased(std::string_view utf8);

}  // namespace quorvel::CaptionText
