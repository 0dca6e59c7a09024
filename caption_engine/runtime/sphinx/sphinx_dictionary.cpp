#include "caption_engine/runtime/sphinx/sphinx_dictionary.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

namespace quorvel::speech {

namespace {

constexpr std::string_view kSpace = " \t\r";

// The word of a dictionary line and the rest (its phones), or nothing for a line without both.
std::optional<std::pair<std::string_view, std::string_view>> splitLine(std::string_view line) {
  const size_t start = line.find_first_not_of(kSpace);
  if (start == std::string_view::npos) return std::nullopt;
  const size_t end = line.find_first_of(kSpace, start);
  if (end == std::string_view::npos) return std::nullopt;
  const size_t phones = line.find_first_not_of(kSpace, end);
  if (phones == std::string_view::npos) return std::nullopt;
  const size_t last = line.find_last_not_of(kSpace);
  return std::make_pair(line.substr(start, end - start), line.substr(phones, last + 1 - phones));
}

bool writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string_view dictionaryBaseWord(std::string_view word) {
  if (word.size() > 2 && word.back() == ')') {
    const size_t open = word.rfind('(');
    if (open != std::string_view::npos && open > 0) return word.substr(0, open);
  }
  return word;
}

SphinxDictionaryExcerpt::SphinxDictionaryExcerpt(
    const std::filesystem::path& dictionary, const std::function<bool(std::string_view)>& keep) {
  std::ifstream in(dictionary, std::ios::binary);
  if (!in) return;
  std::string text;
  for (std::string line; std::getline(in, line);) {
    const auto split = splitLine(line);
    if (!split || !keep(dictionaryBaseWord(split->first))) continue;
    text += line;
    text += '\n';
    ++lines_;
  }
  if (in.bad()) return;
  fd_ = memfd_create("quorvel-dictionary", MFD_CLOEXEC);
  if (fd_ < 0) return;
  const std::filesystem::path named = "/proc/self/fd/" + std::to_string(fd_);
  if (!writeAll(fd_, text) || ::access(named.c_str(), R_OK) != 0) return;
  path_ = named;
}

SphinxDictionaryExcerpt::~SphinxDictionaryExcerpt() {
  if (fd_ >= 0) ::close(fd_);
}

std::map<std::string, std::vector<std::string>> dictionaryPronunciations(
    const std::filesystem::path& dictionary, const std::set<std::string>& words) {
  std::map<std::string, std::vector<std::string>> found;
  if (words.empty()) return found;
  std::ifstream in(dictionary, std::ios::binary);
  for (std::string line; std::getline(in, line);) {
    const auto split = splitLine(line);
    if (!split) continue;
    const std::string base(dictionaryBaseWord(split->first));
    if (words.count(base)) found[base].emplace_back(split->second);
  }
  return found;
}

}  // namespace quorvel::speech
