// Lines of caption text broken at word boundaries, for subtitle cues and the terminal. Widths
// count Unicode code points of UTF-8 text (a word never loses a character in the middle of its
// bytes). Pure functions.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::tools::CaptionLineWrap {

// The number of code points of UTF-8 text.
size_t width(std::string_view utf8);
// The words of a text: split at spaces, tabs and line breaks, empty pieces dropped.
std::vector<std::string> words(std::string_view text);
// A word cut into pieces of at most `maxWidth` code points (the whole word when it fits).
std::vector<std::string> pieces(const std::string& word, size_t maxWidth);

// The words filled greedily into lines of at most `maxWidth` code points; a word wider than a
// line is cut into pieces. Nothing for no words; maxWidth 0 counts as 1.
std::vector<std::string> wrap(const std::vector<std::string>& words, size_t maxWidth);
// The words as at most two lines of at most `maxWidth` each, the break chosen so that the longer
// line is as short as it can be (on a tie the first line is the shorter one); one line when
// they fit on one. Nothing when the words need more than two lines.
std::vector<std::string> balancedTwoLines(const std::vector<std::string>& words, size_t maxWidth);

}  // namespace quorvel::tools::CaptionLineWrap
