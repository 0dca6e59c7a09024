// The pronunciation dictionary file of a model, read as text: the part of it a decoder needs, and
// the pronunciations of given words.
//
// A dictionary line is a word, optionally with a variant number ("read(2)"), then its phones,
// separated by white space. Threads: any; nothing is shared.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::speech {

// A line's word without its variant number, as the recognizer reads it: "read(2)" is "read".
std::string_view dictionaryBaseWord(std::string_view word);

// The lines of a dictionary whose word (variant numbers ignored) `keep` accepts, in the file's
// order, as a file only this process reads (an anonymous in-memory file, named through
// /proc/self/fd). It exists as long as the object.
class SphinxDictionaryExcerpt {
 public:
  SphinxDictionaryExcerpt(const std::filesystem::path& dictionary,
                          const std::function<bool(std::string_view)>& keep);
  ~SphinxDictionaryExcerpt();
  SphinxDictionaryExcerpt(const SphinxDictionaryExcerpt&) = delete;
  SphinxDictionaryExcerpt& operator=(const SphinxDictionaryExcerpt&) = delete;

  // The excerpt's path; nothing when it could not be made (the whole dictionary is then the
  // one to use).
  const std::optional<std::filesystem::path>& path() const { return path_; }
  // How many lines it holds.
  size_t lines() const { return lines_; }

 private:
  int fd_ = -1;
  std::optional<std::filesystem::path> path_;
  size_t lines_ = 0;
};

// The pronunciations the dictionary gives each of `words`, in the file's order (the word's own
// line first when the file lists it first), by base word; words it lacks are left out. One pass
// over the file.
std::map<std::string, std::vector<std::string>> dictionaryPronunciations(
    const std::filesystem::path& dictionary, const std::set<std::string>& words);

}  // namespace quorvel::speech
