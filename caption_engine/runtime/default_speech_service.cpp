#include "caption_engine/runtime/caption_engine_core.h"
#include "caption_engine/runtime/sherpa/sherpa_engine.h"
#include "caption_engine/runtime/sphinx/sphinx_speech_service.h"

namespace quorvel {

// The recognizer's service, shared by the whole process (it holds no session state: each
// analyzer owns its decoder), with the neural engine for neural models. A build without the
// recognizer compiles default_speech_service_none.cpp instead.
std::shared_ptr<speech::SpeechService> makeDefaultSpeechService() {
  static const std::shared_ptr<speech::SpeechService> service = [] {
    speech::SphinxServiceOptions options;
    options.sherpa = speech::sherpaEngineHooks();
    return std::make_shared<speech::SphinxSpeechService>(std::move(options));
  }();
  return service;
}

}  // namespace quorvel
