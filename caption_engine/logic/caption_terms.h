// Cleans an untrusted list of contextual terms: white space collapsed, blanks dropped, repeats
// that differ only in letter case dropped (first spelling wins), at most 500 kept.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace quorvel::CaptionTerms {

inline constexpr size_t maxTerms = 500;

std::vector<std::string> normalise(const std::vector<std::string>& terms);

}  // namespace quorvel::CaptionTerms
