#include "caption_engine/runtime/sphinx/sphinx_model_installer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include <nlohmann/json.hpp>

namespace quorvel::speech {

namespace fs = std::filesystem;

namespace {

std::string describe(const std::error_code& ec) { return ec.message(); }

[[noreturn]] void failRead(const fs::path& p, const std::string& why) {
  throw SpeechServiceError("cannot read " + p.string() + ": " + why);
}

// The regular files of a source tree (symbolic links followed) with their sizes, relative paths.
struct SourceFile {
  fs::path relative;
  uint64_t size;
};

std::vector<SourceFile> listSource(const fs::path& source, std::vector<fs::path>& directories) {
  std::error_code ec;
  if (!fs::exists(source, ec)) failRead(source, std::strerror(ENOENT));
  if (!fs::is_directory(source, ec)) failRead(source, ec ? describe(ec) : "not a directory");
  std::vector<SourceFile> files;
  fs::recursive_directory_iterator it(source, fs::directory_options::follow_directory_symlink, ec);
  if (ec) failRead(source, describe(ec));
  for (fs::recursive_directory_iterator end; it != end; it.increment(ec)) {
    if (ec) failRead(source, describe(ec));
    const fs::path rel = it->path().lexically_relative(source);
    fs::file_status st = fs::status(it->path(), ec);  // follows links
    if (ec) failRead(it->path(), describe(ec));
    if (fs::is_directory(st)) {
      directories.push_back(rel);
    } else if (fs::is_regular_file(st)) {
      uint64_t size = fs::file_size(it->path(), ec);
      if (ec) failRead(it->path(), describe(ec));
      files.push_back({rel, size});
    } else {
      failRead(it->path(), "not a regular file");
    }
  }
  if (ec) failRead(source, describe(ec));
  return files;
}

bool isSherpaManifest(const fs::path& manifest) {
  std::ifstream in(manifest, std::ios::binary);
  if (!in) return false;
  std::stringstream text;
  text << in.rdbuf();
  nlohmann::json j = nlohmann::json::parse(text.str(), nullptr, false);
  return j.is_object() && j.value("engine", "") == "sherpa";
}

}  // namespace

SphinxModelInstallation::SphinxModelInstallation(ModelCatalogEntry entry, fs::path storeDirectory)
    : entry_(std::move(entry)), store_(std::move(storeDirectory)) {}

double SphinxModelInstallation::fractionCompleted() const {
  if (done_.load()) return 1.0;
  uint64_t total = total_.load();
  if (total == 0) return 0.0;
  double f = static_cast<double>(copied_.load()) / static_cast<double>(total);
  return f > 1.0 ? 1.0 : f;
}

void SphinxModelInstallation::copyFile(const fs::path& from, const fs::path& to) {
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) failRead(from, std::strerror(errno));
  int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (out < 0) {
    int err = errno;
    ::close(in);
    throw SpeechServiceError("cannot write " + to.string() + ": " + std::strerror(err));
  }
  std::vector<char> buffer(1 << 20);
  std::string failure;
  while (failure.empty()) {
    ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      failure = "cannot read " + from.string() + ": " + std::strerror(errno);
      break;
    }
    if (n == 0) break;
    size_t done = 0;
    while (done < static_cast<size_t>(n)) {
      ssize_t w = ::write(out, buffer.data() + done, static_cast<size_t>(n) - done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        failure = "cannot write " + to.string() + ": " + std::strerror(w < 0 ? errno : ENOSPC);
        break;
      }
      done += static_cast<size_t>(w);
    }
    copied_.fetch_add(done);
  }
  ::close(in);
  if (::close(out) != 0 && failure.empty())
    failure = "cannot write " + to.string() + ": " + std::strerror(errno);
  if (!failure.empty()) throw SpeechServiceError(failure);
}

void SphinxModelInstallation::copyTree(const fs::path& target) {
  std::vector<fs::path> directories;
  std::vector<SourceFile> files = listSource(entry_.source, directories);
  uint64_t total = 0;
  for (auto& f : files) total += f.size;
  total_.store(total);
  std::error_code ec;
  for (auto& d : directories) {
    fs::create_directories(target / d, ec);
    if (ec) throw SpeechServiceError("cannot write " + (target / d).string() + ": " + describe(ec));
  }
  for (auto& f : files) copyFile(entry_.source / f.relative, target / f.relative);
  if (entry_.sherpa && !entry_.completeIn(target)) {
    throw SpeechServiceError("the model source " + entry_.source.string() +
                             " is no neural model directory: it lacks tokens.txt or .onnx files");
  }
  if (!entry_.completeIn(target)) {
    throw SpeechServiceError("the model source " + entry_.source.string() + " lacks " +
                             entry_.acousticModel + ", " + entry_.languageModel + " or " +
                             entry_.dictionary);
  }
}

void SphinxModelInstallation::downloadAndInstall() {
  std::error_code ec;
  fs::create_directories(store_, ec);
  if (ec) throw SpeechServiceError("cannot write " + store_.string() + ": " + describe(ec));
  std::string tmp = (store_ / (".install-" + entry_.locale + "-XXXXXX")).string();
  if (!::mkdtemp(tmp.data())) {
    throw SpeechServiceError("cannot write " + store_.string() + ": " + std::strerror(errno));
  }
  const fs::path temp(tmp);
  try {
    copyTree(temp);
    nlohmann::json manifest = entry_.sherpa
                                  ? nlohmann::json{{"locale", entry_.locale}, {"engine", "sherpa"}}
                                  : nlohmann::json{{"locale", entry_.locale},
                                                   {"acousticModel", entry_.acousticModel},
                                                   {"languageModel", entry_.languageModel},
                                                   {"dictionary", entry_.dictionary}};
    writeFileAtomically(temp / "model.json", manifest.dump(2) + "\n");
    const fs::path target = store_ / entry_.locale;
    if (::rename(temp.c_str(), target.c_str()) != 0) {
      int err = errno;
      // Another installation of the same locale may have finished first: its model serves.
      bool installedMeanwhile = fs::exists(target / "model.json", ec) && entry_.completeIn(target);
      if (!installedMeanwhile) {
        // A directory without a manifest is no model (left by hand or by an older copy), and one
        // of the other engine is replaced by the catalog's choice: replace it.
        const bool otherEngine = isSherpaManifest(target / "model.json") != entry_.sherpa;
        if ((err == ENOTEMPTY || err == EEXIST) &&
            (!fs::exists(target / "model.json", ec) || otherEngine)) {
          fs::remove_all(target, ec);
          if (::rename(temp.c_str(), target.c_str()) == 0) {
            done_.store(true);
            return;
          }
          err = errno;
        }
        throw SpeechServiceError("cannot write " + target.string() + ": " + std::strerror(err));
      }
      fs::remove_all(temp, ec);
    }
  } catch (...) {
    fs::remove_all(temp, ec);
    throw;
  }
  done_.store(true);
}

}  // namespace quorvel::speech
