// Where the recognizer's models come from and where they are kept.
//
// The model store is a directory in the user's data directory: $XDG_DATA_HOME/quorvel/models, or
// ~/.local/share/quorvel/models when XDG_DATA_HOME is unset or not absolute. It is read from the
// environment each time a store is made, so a changed environment takes effect at once.
//
// Store layout:
//   catalog/*.json       catalog files, one locale each (below)
//   <locale>/            an installed model, named by the canonical locale tag ("en-GB"); it holds
//                        the files copied from the catalog source and model.json, its manifest
//                        (written last, before the directory is renamed into place), naming the
//                        three model parts relative to the directory, or {"engine": "sherpa"}
//                        for a neural model
//   reservations.json    {"reserved": ["en-US", ...]}: the reserved locales in reservation order
//   .install-*           temporary directories of installations in progress
//
// The catalog lists the supported locales and where each model comes from. It has one built-in
// entry, en-US, whose source is the system's pocketsphinx-en-us package directory; the further
// entries are catalog files:
//   {"locale": "en-GB",                       required, a well-formed locale tag
//    "source": "/path/to/model",              required: a directory; relative paths are taken
//                                             from the catalog directory
//    "acousticModel": "en-us",                the acoustic model directory inside the source
//    "languageModel": "en-us.lm.bin",         the language model file (ARPA or binary)
//    "dictionary": "cmudict-en-us.dict"}      the pronunciation dictionary
// (the three parts default to the names shown, the layout of the system's en-US package), or a
// neural model for the sherpa-onnx engine:
//   {"locale": "en-US", "engine": "sherpa", "source": "/path/to/model-dir"}
// whose source is a streaming model directory as sherpa-onnx's releases unpack (tokens.txt and
// the .onnx files; see sherpa/sherpa_model.h). "engine" may also be "pocketsphinx", the default.
// A file that cannot be read or parsed, names an invalid locale or an unknown engine, is skipped.
// For one locale a neural entry wins over pocketsphinx ones; otherwise the built-in entry wins
// over a catalog file of the same locale, and the first file in name order wins over later ones.
//
// A locale is installed when a model of it is in the store; en-US also counts as installed when
// the system package's files are present. An installed neural model is the locale's engine even
// where a pocketsphinx model of it is installed too. Supported locales are the catalog's (built-in
// first, then catalog files in locale order) followed by any installed locale the catalog does not
// name.
//
// Thread safety: a store object only reads its two directories and is safe from any thread;
// reservation updates are serialised process-wide.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quorvel::speech {

// The three parts of a model, as absolute paths.
struct SphinxModelFiles {
  std::filesystem::path acousticModel;
  std::filesystem::path languageModel;
  std::filesystem::path dictionary;
  bool complete() const;  // all three exist
};

struct ModelCatalogEntry {
  std::string locale;            // canonical tag
  std::filesystem::path source;  // the directory the model is copied from
  bool sherpa = false;           // a neural model for the sherpa-onnx engine
  std::string acousticModel = "en-us";
  std::string languageModel = "en-us.lm.bin";
  std::string dictionary = "cmudict-en-us.dict";
  SphinxModelFiles filesIn(const std::filesystem::path& dir) const;
  // Whether the directory holds what this entry's model needs (files only).
  bool completeIn(const std::filesystem::path& dir) const;
};

// Whether the directory has the files of a neural model: tokens.txt and some .onnx file (its
// contents are checked when it is loaded).
bool hasSherpaModelFiles(const std::filesystem::path& dir);

inline constexpr const char* kSystemEnUsModelDirectory = "/usr/share/pocketsphinx/model/en-us";
inline constexpr int kMaximumReservedLocales = 4;

class SphinxModelStore {
 public:
  // The store directory the environment names now.
  static std::filesystem::path defaultDirectory();

  SphinxModelStore(std::filesystem::path directory, std::filesystem::path systemEnUsDirectory);

  const std::filesystem::path& directory() const { return directory_; }
  std::vector<ModelCatalogEntry> catalog() const;
  std::optional<ModelCatalogEntry> catalogEntry(const std::string& locale) const;

  std::vector<std::string> supportedLocales() const;
  std::vector<std::string> installedLocales() const;
  // The files of the locale's installed model (the store's copy first, then the system package
  // for en-US), or nothing when it is not installed.
  std::optional<SphinxModelFiles> installedModel(const std::string& locale) const;
  // The directory of the locale's installed neural model, or nothing.
  std::optional<std::filesystem::path> installedSherpaModel(const std::string& locale) const;
  // Whether a model of either engine is installed for the locale.
  bool isInstalled(const std::string& locale) const;
  std::filesystem::path localeDirectory(const std::string& canonicalLocale) const;

  // Reservations record the locales whose models the user wants kept, at most
  // kMaximumReservedLocales, in the order they were reserved. A reservations file that cannot be
  // read counts as no reservations (the next change rewrites it).
  std::vector<std::string> reservedLocales() const;
  // Reserves a supported locale: true when it is reserved afterwards, false when the list is
  // full. Throws SpeechServiceError for an unsupported locale or when the list cannot be written.
  bool reserve(const std::string& locale) const;
  // Releases a reservation: whether one was released.
  bool release(const std::string& locale) const;

 private:
  std::vector<std::string> storeInstalledLocales() const;
  void writeReservedLocales(const std::vector<std::string>& locales) const;

  std::filesystem::path directory_;
  std::filesystem::path systemEnUs_;
};

// Writes text to a file through a temporary file and a rename. Throws SpeechServiceError.
void writeFileAtomically(const std::filesystem::path& path, const std::string& text);

}  // namespace quorvel::speech
