// Recognized words as a person reads them, the same for every speech engine: the host's terms in
// the spelling the host gave them (matched whole-word and case-insensitively, a term of several
// words over as many words, longest first), "I" capitalised (also in "I'm", "I've", "I'll",
// "I'd"), and, for the first word of a sentence, its first letter in upper case unless the word
// is a term's own spelling. Engines whose models write all capitals lower-case the words first.
#pragma once

#include <string>
#include <vector>

namespace quorvel::CaptionPeopleText {

// Rewrites the words in place. sentenceStart: the first word begins a sentence (a final's text).
void apply(std::vector<std::string>& words, bool sentenceStart,
           const std::vector<std::string>& terms);

// The same for text of words separated by single spaces.
std::string apply(const std::string& text, bool sentenceStart,
                  const std::vector<std::string>& terms);

}  // namespace quorvel::CaptionPeopleText
