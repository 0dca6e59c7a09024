// The speech service of the model store: locales and models from the store and its catalog
// (sphinx_model_store.h), transcribers, analyzers running one pocketsphinx decoder each, or the
// neural engine where the locale's installed model is a neural one and the engine can be had,
// and the asset inventory that installs and reserves models. A pocketsphinx decoder outlives its
// analyzer for a while, so that the next session on the same model starts without loading it
// again.
//
// Locale equivalence follows canonicalLocaleTag (sphinx_locale.h). The store directory is read
// from the environment at each use unless the service was made with a fixed one.
//
// Threads: every operation may be called from any thread.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "caption_engine/runtime/speech_service.h"
#include "caption_engine/runtime/sphinx/sphinx_decoder_pool.h"
#include "caption_engine/runtime/sphinx/sphinx_model_store.h"

namespace quorvel::speech {

// The neural engine, when the build has one: whether its library can be had (without opening
// it), and an analyzer for an installed model directory (throws SpeechServiceError, or
// SpeechModelMissingError when the directory lacks the model's files).
struct SherpaEngineHooks {
  std::function<bool()> available;
  std::function<std::shared_ptr<SpeechAnalyzer>(const std::filesystem::path& modelDirectory,
                                                const std::string& locale,
                                                const TranscriberOptions& options)>
      makeAnalyzer;
};

struct SphinxServiceOptions {
  // Nothing: $XDG_DATA_HOME/quorvel/models (or its default), read at each use.
  std::optional<std::filesystem::path> storeDirectory;
  std::filesystem::path systemEnUsDirectory = kSystemEnUsModelDirectory;
  // How long a decoder whose session has ended waits, loaded, for the next session on its model.
  std::chrono::milliseconds keepDecoderFor{kKeepDecoderFor};
  static constexpr std::chrono::milliseconds kKeepDecoderFor{60'000};
  // Without hooks, neural models are not run (a locale with only one cannot start).
  std::optional<SherpaEngineHooks> sherpa;
};

class SphinxSpeechService : public SpeechService {
 public:
  explicit SphinxSpeechService(SphinxServiceOptions options = {});

  std::optional<std::string> supportedLocale(const std::string& equivalentTo) override;
  std::vector<std::string> supportedLocales() override;
  std::vector<std::string> installedLocales() override;
  std::shared_ptr<SpeechTranscriber> makeTranscriber(const std::string& locale,
                                                     const TranscriberOptions& options) override;
  AssetInventory& assetInventory() override;
  std::vector<std::string> neuralLocales() override;
  std::shared_ptr<SpeechAnalyzer> makeAnalyzer(
      std::shared_ptr<SpeechTranscriber> transcriber) override;

  // The store as the environment names it now.
  SphinxModelStore store() const;

 private:
  class Inventory : public AssetInventory {
   public:
    explicit Inventory(const SphinxSpeechService& service) : service_(service) {}
    std::unique_ptr<AssetInstallationRequest> assetInstallationRequest(
        const SpeechTranscriber& transcriber) override;
    std::vector<std::string> reservedLocales() override;
    int maximumReservedLocales() override;
    bool release(const std::string& locale) override;
    bool reserve(const std::string& locale) override;

   private:
    const SphinxSpeechService& service_;
  };

  const SphinxServiceOptions options_;
  Inventory inventory_;
  const std::shared_ptr<SphinxDecoderPool> decoders_;
};

}  // namespace quorvel::speech
