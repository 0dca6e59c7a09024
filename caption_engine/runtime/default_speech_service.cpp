#include "caption_engine/runtime/caption_engine_core.h"

#ifdef SPEECHANALYZER_AVAILABLE
#include "caption_engine/runtime/sherpa/sherpa_engine.h"
#include "caption_engine/runtime/sphinx/sphinx_speech_service.h"
#endif

namespace quorvel {

// The recognizer's service when the build has one, shared by the whole process (it holds no
// session state: each analyzer owns its decoder), with the neural engine for neural models;
// nothing otherwise.
std::shared_ptr<speech::SpeechService> makeDefaultSpeechService() {
#ifdef SPEECHANALYZER_AVAILABLE
  static const std::shared_ptr<speech::SpeechService> service = [] {
    speech::SphinxServiceOptions options;
    options.sherpa = speech::sherpaEngineHooks();
    return std::make_shared<speech::SphinxSpeechService>(std::move(options));
  }();
  return service;
#else
  return nullptr;
#endif
}

}  // namespace quorvel
