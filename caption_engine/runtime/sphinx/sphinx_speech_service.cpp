#include "caption_engine/runtime/sphinx/sphinx_speech_service.h"

#include "caption_engine/runtime/sphinx/sphinx_analyzer.h"
#include "caption_engine/runtime/sphinx/sphinx_locale.h"
#include "caption_engine/runtime/sphinx/sphinx_model_installer.h"
#include "caption_engine/runtime/sphinx/sphinx_transcriber.h"

namespace quorvel::speech {

SphinxSpeechService::SphinxSpeechService(SphinxServiceOptions options)
    : options_(std::move(options)),
      inventory_(*this),
      decoders_(std::make_shared<SphinxDecoderPool>(options_.keepDecoderFor)) {}

SphinxModelStore SphinxSpeechService::store() const {
  return SphinxModelStore(
      options_.storeDirectory ? *options_.storeDirectory : SphinxModelStore::defaultDirectory(),
      options_.systemEnUsDirectory);
}

std::optional<std::string> SphinxSpeechService::supportedLocale(const std::string& equivalentTo) {
  auto canonical = canonicalLocaleTag(equivalentTo);
  if (!canonical) return std::nullopt;
  for (const std::string& l : supportedLocales()) {
    if (l == *canonical) return l;
  }
  return std::nullopt;
}

std::vector<std::string> SphinxSpeechService::supportedLocales() {
  return store().supportedLocales();
}

std::vector<std::string> SphinxSpeechService::installedLocales() {
  return store().installedLocales();
}

std::shared_ptr<SpeechTranscriber> SphinxSpeechService::makeTranscriber(
    const std::string& locale, const TranscriberOptions& options) {
  auto canonical = canonicalLocaleTag(locale);
  return std::make_shared<SphinxTranscriber>(canonical ? *canonical : locale, options);
}

AssetInventory& SphinxSpeechService::assetInventory() { return inventory_; }

std::shared_ptr<SpeechAnalyzer> SphinxSpeechService::makeAnalyzer(
    std::shared_ptr<SpeechTranscriber> transcriber) {
  auto sphinx = std::dynamic_pointer_cast<SphinxTranscriber>(transcriber);
  if (!sphinx) throw SpeechServiceError("the transcriber does not belong to this speech service");
  SphinxModelStore s = store();
  auto model = s.installedModel(sphinx->locale());
  if (auto neural = s.installedSherpaModel(sphinx->locale())) {
    const bool usable = options_.sherpa && options_.sherpa->available();
    // Without the neural engine a pocketsphinx model of the locale still serves.
    if (usable || !model) {
      if (!usable) {
        throw SpeechServiceError("the speech model for " + sphinx->locale() +
                                 " is a neural model, and the neural recognizer's library "
                                 "(libsherpa-onnx-c-api.so) is not installed");
      }
      if (!sphinx->claim()) throw SpeechServiceError("the transcriber already has an analyzer");
      return options_.sherpa->makeAnalyzer(*neural, sphinx->locale(), sphinx->options());
    }
  }
  if (!model)
    throw SpeechModelMissingError("the speech model for " + sphinx->locale() + " is not installed");
  if (!sphinx->claim()) throw SpeechServiceError("the transcriber already has an analyzer");
  return std::make_shared<SphinxAnalyzer>(std::move(sphinx), *model, decoders_);
}

std::vector<std::string> SphinxSpeechService::neuralLocales() {
  std::vector<std::string> out;
  if (!options_.sherpa || !options_.sherpa->available()) return out;
  SphinxModelStore s = store();
  for (const std::string& l : s.installedLocales()) {
    if (s.installedSherpaModel(l)) out.push_back(l);
  }
  return out;
}

std::unique_ptr<AssetInstallationRequest> SphinxSpeechService::Inventory::assetInstallationRequest(
    const SpeechTranscriber& transcriber) {
  SphinxModelStore store = service_.store();
  auto entry = store.catalogEntry(transcriber.locale());
  // Nothing is missing when the catalog's model is installed; a locale the catalog no longer
  // names is served by whatever model of it is installed.
  if (entry && entry->sherpa ? store.installedSherpaModel(transcriber.locale()).has_value()
                             : store.isInstalled(transcriber.locale()))
    return nullptr;
  if (!entry) throw SpeechServiceError("no speech model is available for " + transcriber.locale());
  return std::make_unique<SphinxModelInstallation>(*entry, store.directory());
}

std::vector<std::string> SphinxSpeechService::Inventory::reservedLocales() {
  return service_.store().reservedLocales();
}

int SphinxSpeechService::Inventory::maximumReservedLocales() { return kMaximumReservedLocales; }

bool SphinxSpeechService::Inventory::release(const std::string& locale) {
  return service_.store().release(locale);
}

bool SphinxSpeechService::Inventory::reserve(const std::string& locale) {
  return service_.store().reserve(locale);
}

}  // namespace quorvel::speech
