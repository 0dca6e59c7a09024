#include "caption_line_wrap.h"

#include <algorithm>

namespace quorvel::tools::CaptionLineWrap {

namespace {

bool isContinuationByte(unsigned char c) { return (c & 0xC0) == 0x80; }

std::string joined(const std::vector<std::string>& words, size_t from, size_t to) {
  std::string line;
  for (size_t i = from; i < to; ++i) {
    if (!line.empty()) line += ' ';
    line += words[i];
  }
  return line;
}

// Width of words[from, to) joined by single spaces.
size_t joinedWidth(const std::vector<size_t>& widths, size_t from, size_t to) {
  size_t w = 0;
  for (size_t i = from; i < to; ++i) w += widths[i] + (i > from ? 1 : 0);
  return w;
}

}  // namespace

size_t width(std::string_view utf8) {
  size_t n = 0;
  for (char c : utf8) n += isContinuationByte(static_cast<unsigned char>(c)) ? 0 : 1;
  return n;
}

std::vector<std::string> words(std::string_view text) {
  std::vector<std::string> out;
  std::string current;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') {
      if (!current.empty()) out.push_back(std::move(current));
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) out.push_back(std::move(current));
  return out;
}

std::vector<std::string> pieces(const std::string& word, size_t maxWidth) {
  maxWidth = std::max<size_t>(maxWidth, 1);
  std::vector<std::string> out;
  std::string piece;
  size_t pieceWidth = 0;
  for (size_t i = 0; i < word.size(); ++i) {
    const bool startsCodePoint = !isContinuationByte(static_cast<unsigned char>(word[i]));
    if (startsCodePoint && pieceWidth == maxWidth) {
      out.push_back(std::move(piece));
      piece.clear();
      pieceWidth = 0;
    }
    if (startsCodePoint) ++pieceWidth;
    piece += word[i];
  }
  if (!piece.empty()) out.push_back(std::move(piece));
  return out;
}

std::vector<std::string> wrap(const std::vector<std::string>& words, size_t maxWidth) {
  maxWidth = std::max<size_t>(maxWidth, 1);
  std::vector<std::string> lines;
  std::string line;
  size_t lineWidth = 0;
  for (const std::string& word : words) {
    for (const std::string& piece : pieces(word, maxWidth)) {
      const size_t w = width(piece);
      if (!line.empty() && lineWidth + 1 + w > maxWidth) {
        lines.push_back(std::move(line));
        line.clear();
        lineWidth = 0;
      }
      if (!line.empty()) {
        line += ' ';
        ++lineWidth;
      }
      line += piece;
      lineWidth += w;
    }
  }
  if (!line.empty()) lines.push_back(std::move(line));
  return lines;
}

std::vector<std::string> balancedTwoLines(const std::vector<std::string>& words, size_t maxWidth) {
  if (words.empty()) return {};
  std::vector<size_t> widths;
  for (const std::string& w : words) widths.push_back(width(w));
  const size_t n = words.size();
  if (joinedWidth(widths, 0, n) <= maxWidth) return {joined(words, 0, n)};
  size_t bestBreak = 0;
  size_t bestLonger = 0;
  for (size_t k = 1; k < n; ++k) {
    const size_t top = joinedWidth(widths, 0, k);
    const size_t bottom = joinedWidth(widths, k, n);
    if (top > maxWidth || bottom > maxWidth) continue;
    const size_t longer = std::max(top, bottom);
    // Later breaks make the first line longer: on a tie keep the earlier, shorter-topped one.
    if (bestBreak == 0 || longer < bestLonger) {
      bestBreak = k;
      bestLonger = longer;
    }
  }
  if (bestBreak == 0) return {};
  return {joined(words, 0, bestBreak), joined(words, bestBreak, n)};
}

}  // namespace quorvel::tools::CaptionLineWrap
