// The runtime that runs at most one caption session at a time on the speech service: start and
// bring-up, audio ingest, the results loop, stop, context updates, status, locales and models,
// and the watchdog timer.
//
// Threads: every public operation may be called from any thread. Asynchronous operations return
// at once and call their completion exactly once, either synchronously (refusals decided under
// the state lock) or from the operation's own task thread. Events are raised from the runtime's
// task threads, its watchdog queue and the producer's delivery context, never while a runtime
// lock is held. The runtime must be owned by a shared_ptr: its tasks hold it weakly.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "caption_engine/audio/caption_audio_platform.h"
#include "caption_engine/logic/caption_start_request.h"
#include "caption_engine/runtime/caption_runtime_failure.h"
#include "caption_engine/runtime/caption_runtime_values.h"
#include "caption_engine/runtime/speech_service.h"

namespace quorvel {

class CaptionRuntime {
 public:
  template <class T>
  using Completion = std::function<void(CaptionRuntimeOutcome<T>)>;

  static std::shared_ptr<CaptionRuntime> make(CaptionRuntimeEvents events,
                                              std::shared_ptr<CaptionAudioPlatform> platform,
                                              std::shared_ptr<speech::SpeechService> service);
  virtual ~CaptionRuntime() = default;

  virtual void start(const CaptionsStartRequest& request,
                     Completion<CaptionRuntimeStartResult> completion) = 0;
  virtual void stop(std::optional<std::string> sessionId,
                    Completion<CaptionRuntimeStopResult> completion) = 0;
  virtual void setContext(std::string sessionId, std::vector<std::string> terms,
                          Completion<CaptionRuntimeVoid> completion) = 0;
  virtual void installLocale(std::string locale, Completion<bool> completion) = 0;
  virtual void reserveLocale(std::string locale, std::function<void(bool)> completion) = 0;
  virtual CaptionRuntimeStatus status() = 0;

  // The cached probe result, or a wait of at most waitMs for the probe (a placeholder with empty
  // lists when it has not finished). Blocks the caller for at most about waitMs.
  virtual CaptionRuntimeCapabilities capabilities(int64_t waitMs) = 0;
  // The same without a time limit.
  virtual CaptionRuntimeCapabilities capabilities() = 0;
};

}  // namespace quorvel
