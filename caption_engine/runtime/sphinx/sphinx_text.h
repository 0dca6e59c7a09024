// Text of recognizer hypotheses as the service reports it: fillers removed, pronunciation
// variants folded, profanities optionally masked.
#pragma once

#include <string>
#include <vector>

namespace quorvel::speech {

// Whether a recognizer word is a filler rather than speech: sentence marks ("<s>", "</s>"),
// silence ("<sil>"), noise classes ("[NOISE]", "[SPEECH]") and "++…++" noise words.
bool isFillerWord(const std::string& word);

// The word without its pronunciation variant suffix: "was(2)" is "was".
std::string baseWord(const std::string& word);

// The words of a hypothesis string (space separated), fillers dropped and variants folded,
// joined by single spaces.
std::string cleanHypothesis(const std::string& hypothesis);

// Masks every profanity of the built-in list in the text: a masked word keeps its first letter and
// every further letter becomes "*" ("shit" -> "s***", "Fucking" -> "F******"). Words match whole
// and case-insensitively; apostrophes belong to the word ("fuckin'"); other text is unchanged.
std::string maskProfanities(const std::string& text);

}  // namespace quorvel::speech
