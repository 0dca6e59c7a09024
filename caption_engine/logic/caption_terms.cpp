#include "caption_engine/logic/caption_terms.h"

#include <unordered_set>

#include "caption_engine/logic/caption_text.h"

namespace quorvel::CaptionTerms {

std::vector<std::string> normalise(const std::vector<std::string>& terms) {
  std::vector<std::string> result;
  std::unordered_set<std::string> seen;
  for (const std::string& term : terms) {
    if (result.size() >= maxTerms) break;
    std::string joined;
    for (const std::string& piece : CaptionText::words(term)) {
      if (!joined.empty()) joined.push_back(' ');
      joined += piece;
    }
    if (joined.empty()) continue;
    // First spelling wins; later spellings that differ only in letter case are dropped.
    if (!seen.insert(CaptionText::lowercased(joined)).second) continue;
    result.push_back(std::move(joined));
  }
  return result;
}

}  // namespace quorvel::CaptionTerms
