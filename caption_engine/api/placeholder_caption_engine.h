// An engine with no speech engine behind it: every operation answers at once that captioning is
// not available, and nothing touches audio or a speech service. Useful wherever an engine object
// is required but the build has no real one.
//
// Threads: any thread may call any operation; onState is called on the caller's thread, outside
// the lock.
#pragma once

#include <mutex>

#include "caption_engine/api/caption_engine.h"

namespace quorvel {

class PlaceholderCaptionEngine final : public CaptionEngine {
 public:
  static constexpr const char* reason = "the speech engine is not in this build yet";

  PlaceholderCaptionEngine() = default;

  CaptionEngineKind kind() const override { return CaptionEngineKind::apple; }
  void setObservers(CaptionEngineObservers observers) override;
  CaptionEngineCapabilities capabilities() override;
  // Raises onState (unsupported, the session id as given) and throws code unsupported.
  CaptionEngineStartAck start(const CaptionEngineStartArgs& args) override;
  CaptionEngineStopAck stop(const std::optional<std::string>& sessionId) override;
  void setTerms(const std::string& sessionId, const std::vector<std::string>& terms) override;
  CaptionEngineStatus status() override;
  std::vector<CaptionAudioInput> listInputs() override;
  void dispose() override;

 private:
  std::mutex lock_;
  CaptionEngineObservers observers_;  // guarded by lock_
};

}  // namespace quorvel
