// Installs a locale's model into the model store: copies its catalog source directory into a
// temporary directory inside the store, writes the manifest, and renames the directory into
// place, so a model is either wholly installed or not at all. Progress is the share of bytes
// copied.
//
// Threads: downloadAndInstall() runs on the caller's thread; fractionCompleted() may be read from
// any thread meanwhile.
#pragma once

#include <atomic>
#include <cstdint>

#include "caption_engine/runtime/speech_service.h"
#include "caption_engine/runtime/sphinx/sphinx_model_store.h"

namespace quorvel::speech {

class SphinxModelInstallation : public AssetInstallationRequest {
 public:
  SphinxModelInstallation(ModelCatalogEntry entry, std::filesystem::path storeDirectory);

  double fractionCompleted() const override;
  // Throws SpeechServiceError naming what could not be read or written; nothing is left behind.
  void downloadAndInstall() override;

  uint64_t bytesCopied() const { return copied_.load(); }
  uint64_t bytesTotal() const { return total_.load(); }

 private:
  void copyTree(const std::filesystem::path& target);
  void copyFile(const std::filesystem::path& from, const std::filesystem::path& to);

  ModelCatalogEntry entry_;
  std::filesystem::path store_;
  std::atomic<uint64_t> copied_{0};
  std::atomic<uint64_t> total_{0};
  std::atomic<bool> done_{false};
};

}  // namespace quorvel::speech
