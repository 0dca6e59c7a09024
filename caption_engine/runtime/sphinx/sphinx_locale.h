// Locale tags as the speech service compares them.
//
// Equivalence rule: two tags name the same locale when their canonical forms are equal. The
// canonical form of a tag is built by
//   - dropping a POSIX encoding or modifier suffix ("en_US.UTF-8", "de_DE@euro"),
//   - reading "_" as "-",
//   - writing the language in lower case, a four-letter script in title case ("Latn"), a
//     two-letter region in upper case ("US"; a three-digit region stays as it is) and variants in
//     lower case,
//   - dropping extensions and private use ("-u-ca-gregory", "-x-foo"): they do not change which
//     model recognises the speech.
// So "en_US", "EN-us" and "en-US.UTF-8" are all "en-US". A bare language ("en") is not equivalent
// to a regional locale ("en-US"): falling back from a language to one of its regions is the
// caller's decision. Text that is not a well-formed tag has no canonical form.
#pragma once

#include <optional>
#include <string>

namespace quorvel::speech {

std::optional<std::string> canonicalLocaleTag(const std::string& text);

// Whether two tags name the same locale (both well formed and equal in canonical form).
bool equivalentLocaleTags(const std::string& a, const std::string& b);

}  // namespace quorvel::speech
