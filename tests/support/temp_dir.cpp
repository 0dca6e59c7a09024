#include "tests/support/temp_dir.h"

#include <stdlib.h>

#include <algorithm>
#include <stdexcept>
#include <system_error>

namespace quorvel::support {

TempDir::TempDir(const std::string& prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a directory like " + pattern);
  path_ = pattern;
}

std::vector<std::string> TempDir::names() const {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(path_))
    out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

}  // namespace quorvel::support
