// A private directory under the system's temporary directory, removed with everything in it when
// the object goes.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace quorvel::support {

class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "quorvel");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The path of a file in the directory.
  std::string file(const std::string& name) const { return (path_ / name).string(); }
  // The names of what the directory holds, sorted.
  std::vector<std::string> names() const;

 private:
  std::filesystem::path path_;
};

}  // namespace quorvel::support
