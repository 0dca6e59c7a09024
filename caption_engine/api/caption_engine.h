// The interface through which a host program embeds live captioning, and the factory for the
// default engine.
//
// Threads: every operation may be called from any thread, also concurrently, and also from
// inside an observer callback. The operations that wait (capabilities, start, stop, setTerms,
// status, listInputs, dispose, installLocale, reserveLocale) block the calling thread until the
// engine has answered; called from inside a callback, they deliver the events that come before
// their answer while they wait (so further callbacks may run nested inside the calling one). The
// only exception any operation throws is CaptionEngineError.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "caption_engine/api/caption_engine_values.h"

namespace quorvel {

class CaptionEngine {
 public:
  virtual ~CaptionEngine() = default;

  virtual CaptionEngineKind kind() const = 0;
  // Replaces all five observers at once.
  virtual void setObservers(CaptionEngineObservers observers) = 0;
  virtual CaptionEngineCapabilities capabilities() = 0;
  // Starts a session; returns once it runs. Throws CaptionEngineError.
  virtual CaptionEngineStartAck start(const CaptionEngineStartArgs& args) = 0;
  // Stops the given session, or whatever session runs when absent. Never throws: a stop that
  // fails answers CaptionEngineStopAck::nothing.
  virtual CaptionEngineStopAck stop(const std::optional<std::string>& sessionId) = 0;
  // Replaces the running session's contextual terms. Throws CaptionEngineError.
  virtual void setTerms(const std::string& sessionId, const std::vector<std::string>& terms) = 0;
  virtual CaptionEngineStatus status() = 0;
  virtual std::vector<CaptionAudioInput> listInputs() = 0;
  // Stops whatever runs; the engine stays usable.
  virtual void dispose() = 0;

  // Installs the speech model of a locale. The default throws CaptionEngineError with code
  // unsupported and the message "this engine cannot install speech models".
  virtual bool installLocale(const std::string& locale);
  // Reserves a locale's model. The default answers false.
  virtual bool reserveLocale(const std::string& locale);
  // Replaces the level-reading observer (an empty callback removes it). The default ignores it.
  virtual void setLevelReadingObserver(CaptionLevelReadingObserver observer);
};

namespace CaptionEngines {
// A new engine on the system's speech service and audio; each call makes a distinct engine. It
// makes no check of the machine: an engine that cannot caption here says so through its
// capabilities and failures.
std::unique_ptr<CaptionEngine> makeDefault();
}  // namespace CaptionEngines

}  // namespace quorvel
