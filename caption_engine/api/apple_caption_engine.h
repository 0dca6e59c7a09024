// The engine on the caption runtime: each operation becomes the matching engine-core call, waits
// for its one completion and turns the outcome into an acknowledgement or a CaptionEngineError;
// the runtime's events become observer events.
//
// Threads: as CaptionEngine. Observers are called one at a time, in order, on the runtime's event
// thread, never under the engine's lock; replacing them does not affect a delivery already under
// way. Events raised after the engine is destroyed are dropped.
#pragma once

#include <memory>

#include "caption_engine/api/caption_engine.h"

namespace quorvel {

class CaptionAudioPlatform;
namespace speech {
class SpeechService;
}

class AppleCaptionEngine final : public CaptionEngine {
 public:
  // The system's audio platform and speech service.
  AppleCaptionEngine();
  // An explicit audio platform and speech service (nullptr: a core without a runtime, which
  // answers every session operation as unsupported).
  AppleCaptionEngine(std::shared_ptr<CaptionAudioPlatform> platform,
                     std::shared_ptr<speech::SpeechService> service);
  ~AppleCaptionEngine() override;

  AppleCaptionEngine(const AppleCaptionEngine&) = delete;
  AppleCaptionEngine& operator=(const AppleCaptionEngine&) = delete;

  CaptionEngineKind kind() const override { return CaptionEngineKind::apple; }
  void setObservers(CaptionEngineObservers observers) override;
  CaptionEngineCapabilities capabilities() override;
  CaptionEngineStartAck start(const CaptionEngineStartArgs& args) override;
  CaptionEngineStopAck stop(const std::optional<std::string>& sessionId) override;
  void setTerms(const std::string& sessionId, const std::vector<std::string>& terms) override;
  CaptionEngineStatus status() override;
  std::vector<CaptionAudioInput> listInputs() override;
  void dispose() override;
  bool installLocale(const std::string& locale) override;
  bool reserveLocale(const std::string& locale) override;
  void setLevelReadingObserver(CaptionLevelReadingObserver observer) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quorvel
