// Contextual terms turned into what the recognizer can use: the words of the terms, a small
// language model (ARPA text) that favours them, and pronunciations for words the dictionary
// lacks. Pure text work; the decoder applies the result (sphinx_decoder.h).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quorvel::speech {

// The words of the terms as the dictionary spells them: lower case, split at white space and at
// punctuation other than apostrophes. Each term becomes one word sequence; terms without words
// are dropped.
std::vector<std::vector<std::string>> contextTermWords(const std::vector<std::string>& terms);

// An ARPA language model of the term words: every distinct word is a unigram of equal
// probability, and the consecutive words of multi-word terms are bigrams. Words containing
// anything but letters and apostrophes are left out (they cannot be pronounced). Returns an empty
// string when no word remains.
std::string contextLanguageModelArpa(const std::vector<std::vector<std::string>>& termWords);

// A pronunciation (space-separated phones of the CMU set) for a word the dictionary lacks. Known
// pieces of the word are reused with their dictionary pronunciations ("quorvelbook" takes
// "book"'s); the rest is spelled out with simple letter-to-phone rules. Nothing when the word
// has no letters.
using PronunciationLookup = std::function<std::optional<std::string>(const std::string&)>;
std::optional<std::string> guessPronunciation(const std::string& word,
                                              const PronunciationLookup& lookup);

}  // namespace quorvel::speech
