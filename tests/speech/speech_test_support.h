// Shared fixtures of the speech service tests: a temporary data directory set as XDG_DATA_HOME,
// and a relabelled copy of the system's en-US model as a catalog source.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "tests/support/temp_dir.h"

namespace quorvel::speech::testing {

namespace fs = std::filesystem;

inline const fs::path kEnUsModel = "/usr/share/pocketsphinx/model/en-us";
inline const fs::path kTestData = "/usr/share/pocketsphinx/test/data";

using support::TempDir;

// Points XDG_DATA_HOME at a temporary directory for the life of the object.
class ScopedDataHome {
 public:
  ScopedDataHome() {
    if (const char* old = getenv("XDG_DATA_HOME")) old_ = old;
    setenv("XDG_DATA_HOME", dir_.path().c_str(), 1);
  }
  ~ScopedDataHome() {
    if (old_)
      setenv("XDG_DATA_HOME", old_->c_str(), 1);
    else
      unsetenv("XDG_DATA_HOME");
  }
  fs::path store() const { return dir_.path() / "quorvel" / "models"; }

 private:
  TempDir dir_;
  std::optional<std::string> old_;
};

// A model source directory holding the en-US model's parts (as links to the system files, so
// the installer copies the real bytes without the test copying them first).
inline fs::path makeRelabelledEnUsSource(const fs::path& dir) {
  fs::create_directories(dir);
  for (const char* part : {"en-us", "en-us.lm.bin", "cmudict-en-us.dict"}) {
    fs::create_symlink(kEnUsModel / part, dir / part);
  }
  return dir;
}

inline void writeText(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

inline void writeCatalogEntry(const fs::path& store, const std::string& locale,
                              const fs::path& source) {
  writeText(store / "catalog" / (locale + ".json"),
            "{\"locale\": \"" + locale + "\", \"source\": \"" + source.string() + "\"}\n");
}

}  // namespace quorvel::speech::testing
