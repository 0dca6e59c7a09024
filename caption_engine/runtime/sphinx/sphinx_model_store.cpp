#include "caption_engine/runtime/sphinx/sphinx_model_store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include <nlohmann/json.hpp>

#include "caption_engine/runtime/speech_service.h"
#include "caption_engine/runtime/sphinx/sphinx_locale.h"

namespace quorvel::speech {

namespace fs = std::filesystem;

namespace {

std::optional<nlohmann::json> readJsonObject(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::stringstream text;
  text << in.rdbuf();
  nlohmann::json j = nlohmann::json::parse(text.str(), nullptr, false);
  if (j.is_discarded() || !j.is_object()) return std::nullopt;
  return j;
}

std::optional<std::string> stringField(const nlohmann::json& j, const char* key) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

// A relative path that stays inside its directory.
bool isContainedRelativePath(const std::string& p) {
  fs::path path(p);
  if (p.empty() || path.is_absolute()) return false;
  for (const auto& part : path) {
    if (part == "..") return false;
  }
  return true;
}

std::optional<ModelCatalogEntry> entryFromJson(const nlohmann::json& j, const fs::path& baseDir) {
  auto locale = stringField(j, "locale");
  auto source = stringField(j, "source");
  if (!locale || !source || source->empty()) return std::nullopt;
  auto canonical = canonicalLocaleTag(*locale);
  if (!canonical) return std::nullopt;
  ModelCatalogEntry e;
  e.locale = *canonical;
  e.source = fs::path(*source).is_absolute() ? fs::path(*source) : baseDir / *source;
  if (j.contains("engine")) {
    auto engine = stringField(j, "engine");
    if (!engine) return std::nullopt;
    if (*engine == "sherpa") {
      e.sherpa = true;
      return e;
    }
    if (*engine != "pocketsphinx") return std::nullopt;
  }
  if (auto v = stringField(j, "acousticModel")) e.acousticModel = *v;
  if (auto v = stringField(j, "languageModel")) e.languageModel = *v;
  if (auto v = stringField(j, "dictionary")) e.dictionary = *v;
  for (const std::string* part : {&e.acousticModel, &e.languageModel, &e.dictionary}) {
    if (!isContainedRelativePath(*part)) return std::nullopt;
  }
  return e;
}

std::mutex& reservationMutex() {
  static std::mutex m;
  return m;
}

}  // namespace

bool SphinxModelFiles::complete() const {
  std::error_code ec;
  return fs::is_directory(acousticModel, ec) && fs::is_regular_file(languageModel, ec) &&
         fs::is_regular_file(dictionary, ec);
}

SphinxModelFiles ModelCatalogEntry::filesIn(const fs::path& dir) const {
  return {dir / acousticModel, dir / languageModel, dir / dictionary};
}

bool ModelCatalogEntry::completeIn(const fs::path& dir) const {
  return sherpa ? hasSherpaModelFiles(dir) : filesIn(dir).complete();
}

bool hasSherpaModelFiles(const fs::path& dir) {
  std::error_code ec;
  if (!fs::is_regular_file(dir / "tokens.txt", ec)) return false;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().extension() == ".onnx" && fs::is_regular_file(it->path(), ec)) return true;
  }
  return false;
}

fs::path SphinxModelStore::defaultDirectory() {
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && xdg[0] == '/') {
    return fs::path(xdg) / "quorvel" / "models";
  }
  std::string home;
  if (const char* h = std::getenv("HOME"); h && h[0] == '/') {
    home = h;
  } else {
    struct passwd pw;
    struct passwd* result = nullptr;
    std::vector<char> buf(16384);
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &result) == 0 && result &&
        result->pw_dir) {
      home = result->pw_dir;
    }
  }
  if (home.empty()) home = "/";
  return fs::path(home) / ".local" / "share" / "quorvel" / "models";
}

SphinxModelStore::SphinxModelStore(fs::path directory, fs::path systemEnUsDirectory)
    : directory_(std::move(directory)), systemEnUs_(std::move(systemEnUsDirectory)) {}

std::vector<ModelCatalogEntry> SphinxModelStore::catalog() const {
  std::vector<ModelCatalogEntry> entries;
  ModelCatalogEntry builtIn;
  builtIn.locale = "en-US";
  builtIn.source = systemEnUs_;
  entries.push_back(builtIn);

  std::vector<fs::path> files;
  std::error_code ec;
  const fs::path catalogDir = directory_ / "catalog";
  for (fs::directory_iterator it(catalogDir, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().extension() == ".json") files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  std::vector<ModelCatalogEntry> fromFiles;
  for (const fs::path& f : files) {
    auto j = readJsonObject(f);
    if (!j) continue;
    auto e = entryFromJson(*j, catalogDir);
    if (!e) continue;
    auto same = [&](auto& x) { return x.locale == e->locale; };
    auto builtIn = std::find_if(entries.begin(), entries.end(), same);
    auto earlier = std::find_if(fromFiles.begin(), fromFiles.end(), same);
    // A neural model takes the place of a pocketsphinx entry of its locale.
    if (builtIn != entries.end()) {
      if (e->sherpa && !builtIn->sherpa) *builtIn = *e;
    } else if (earlier != fromFiles.end()) {
      if (e->sherpa && !earlier->sherpa) *earlier = *e;
    } else {
      fromFiles.push_back(*e);
    }
  }
  std::sort(fromFiles.begin(), fromFiles.end(),
            [](auto& a, auto& b) { return a.locale < b.locale; });
  entries.insert(entries.end(), fromFiles.begin(), fromFiles.end());
  return entries;
}

std::optional<ModelCatalogEntry> SphinxModelStore::catalogEntry(const std::string& locale) const {
  auto canonical = canonicalLocaleTag(locale);
  if (!canonical) return std::nullopt;
  for (auto& e : catalog()) {
    if (e.locale == *canonical) return e;
  }
  return std::nullopt;
}

fs::path SphinxModelStore::localeDirectory(const std::string& canonicalLocale) const {
  return directory_ / canonicalLocale;
}

std::vector<std::string> SphinxModelStore::storeInstalledLocales() const {
  std::vector<std::string> out;
  std::error_code ec;
  for (fs::directory_iterator it(directory_, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    auto canonical = canonicalLocaleTag(name);
    if (!canonical || *canonical != name) continue;  // catalog/, temporaries and strangers
    if (isInstalled(name)) out.push_back(name);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::optional<SphinxModelFiles> SphinxModelStore::installedModel(const std::string& locale) const {
  auto canonical = canonicalLocaleTag(locale);
  if (!canonical) return std::nullopt;
  const fs::path dir = localeDirectory(*canonical);
  if (auto manifest = readJsonObject(dir / "model.json")) {
    ModelCatalogEntry e;
    e.locale = *canonical;
    if (auto v = stringField(*manifest, "acousticModel")) e.acousticModel = *v;
    if (auto v = stringField(*manifest, "languageModel")) e.languageModel = *v;
    if (auto v = stringField(*manifest, "dictionary")) e.dictionary = *v;
    bool safe = isContainedRelativePath(e.acousticModel) &&
                isContainedRelativePath(e.languageModel) && isContainedRelativePath(e.dictionary);
    SphinxModelFiles files = e.filesIn(dir);
    if (safe && files.complete()) return files;
  }
  if (*canonical == "en-US") {
    ModelCatalogEntry builtIn;
    SphinxModelFiles files = builtIn.filesIn(systemEnUs_);
    if (files.complete()) return files;
  }
  return std::nullopt;
}

std::optional<fs::path> SphinxModelStore::installedSherpaModel(const std::string& locale) const {
  auto canonical = canonicalLocaleTag(locale);
  if (!canonical) return std::nullopt;
  const fs::path dir = localeDirectory(*canonical);
  auto manifest = readJsonObject(dir / "model.json");
  if (!manifest || stringField(*manifest, "engine") != std::optional<std::string>("sherpa"))
    return std::nullopt;
  if (!hasSherpaModelFiles(dir)) return std::nullopt;
  return dir;
}

bool SphinxModelStore::isInstalled(const std::string& locale) const {
  return installedSherpaModel(locale) || installedModel(locale);
}

std::vector<std::string> SphinxModelStore::installedLocales() const {
  std::vector<std::string> out;
  for (auto& e : catalog()) {
    if (isInstalled(e.locale)) out.push_back(e.locale);
  }
  for (auto& l : storeInstalledLocales()) {
    if (std::find(out.begin(), out.end(), l) == out.end()) out.push_back(l);
  }
  return out;
}

std::vector<std::string> SphinxModelStore::supportedLocales() const {
  std::vector<std::string> out;
  for (auto& e : catalog()) out.push_back(e.locale);
  for (auto& l : storeInstalledLocales()) {
    if (std::find(out.begin(), out.end(), l) == out.end()) out.push_back(l);
  }
  return out;
}

std::vector<std::string> SphinxModelStore::reservedLocales() const {
  std::vector<std::string> out;
  auto j = readJsonObject(directory_ / "reservations.json");
  if (!j) return out;
  auto it = j->find("reserved");
  if (it == j->end() || !it->is_array()) return out;
  for (const auto& v : *it) {
    if (!v.is_string()) continue;
    auto canonical = canonicalLocaleTag(v.get<std::string>());
    if (canonical && std::find(out.begin(), out.end(), *canonical) == out.end())
      out.push_back(*canonical);
  }
  return out;
}

void SphinxModelStore::writeReservedLocales(const std::vector<std::string>& locales) const {
  nlohmann::json j = {{"reserved", locales}};
  writeFileAtomically(directory_ / "reservations.json", j.dump(2) + "\n");
}

bool SphinxModelStore::reserve(const std::string& locale) const {
  auto canonical = canonicalLocaleTag(locale);
  if (!canonical) throw SpeechServiceError("\"" + locale + "\" is not a locale");
  auto supported = supportedLocales();
  if (std::find(supported.begin(), supported.end(), *canonical) == supported.end()) {
    throw SpeechServiceError("no speech model is available for " + *canonical);
  }
  std::lock_guard lock(reservationMutex());
  auto reserved = reservedLocales();
  if (std::find(reserved.begin(), reserved.end(), *canonical) != reserved.end()) return true;
  if (static_cast<int>(reserved.size()) >= kMaximumReservedLocales) return false;
  reserved.push_back(*canonical);
  writeReservedLocales(reserved);
  return true;
}

bool SphinxModelStore::release(const std::string& locale) const {
  auto canonical = canonicalLocaleTag(locale);
  if (!canonical) return false;
  std::lock_guard lock(reservationMutex());
  auto reserved = reservedLocales();
  auto it = std::find(reserved.begin(), reserved.end(), *canonical);
  if (it == reserved.end()) return false;
  reserved.erase(it);
  try {
    writeReservedLocales(reserved);
  } catch (const SpeechServiceError&) {
    return false;
  }
  return true;
}

void writeFileAtomically(const fs::path& path, const std::string& text) {
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  std::string tmp = (path.parent_path() / ("." + path.filename().string() + ".XXXXXX")).string();
  int fd = mkstemp(tmp.data());
  if (fd < 0)
    throw SpeechServiceError("cannot write " + path.string() + ": " + std::strerror(errno));
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int err = errno;
      ::close(fd);
      ::unlink(tmp.c_str());
      throw SpeechServiceError("cannot write " + path.string() + ": " + std::strerror(err));
    }
    done += static_cast<size_t>(n);
  }
  ::fchmod(fd, 0644);
  int err = ::fsync(fd) == 0 ? 0 : errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && ::rename(tmp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) {
    ::unlink(tmp.c_str());
    throw SpeechServiceError("cannot write " + path.string() + ": " + std::strerror(err));
  }
}

}  // namespace quorvel::speech
