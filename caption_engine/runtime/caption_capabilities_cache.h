// What the speech service offers (its supported and installed locales), probed once on a
// detached thread and cached. One cache exists per speech service object and is shared by every
// runtime made on that service, so the process's one service has one process-wide cache while
// tests with their own fake services never see each other's results.
//
// Threads: any thread. capsLock guards the cached value and the probe handle only; no service
// call and no wait happens under it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "caption_engine/runtime/caption_mutex.h"
#include "caption_engine/runtime/caption_runtime_values.h"
#include "caption_engine/runtime/speech_service.h"

namespace quorvel {

class CaptionCapabilitiesCache : public std::enable_shared_from_this<CaptionCapabilitiesCache> {
 public:
  // The cache of this service, made on first use.
  static std::shared_ptr<CaptionCapabilitiesCache> forService(
      const std::shared_ptr<speech::SpeechService>& service);

  // The cached value, or a wait of at most max(0, waitMs) for the probe; when the probe has not
  // finished by then, supported with two empty lists. Never fails.
  CaptionRuntimeCapabilities capabilities(int64_t waitMs) CAPTION_EXCLUDES(capsLock_);
  // The cached value, or the probe's value awaited without a limit.
  CaptionRuntimeCapabilities capabilities() CAPTION_EXCLUDES(capsLock_);
  // Forgets the cached value and the probe (after a model was installed): the next query probes
  // afresh. A probe still running when this is called no longer fills the cache.
  void invalidate() CAPTION_EXCLUDES(capsLock_);

  struct Probe;
  explicit CaptionCapabilitiesCache(std::weak_ptr<speech::SpeechService> service)
      : service_(std::move(service)) {}

 private:
  // The current probe, started when there is none.
  std::shared_ptr<Probe> probeTask() CAPTION_EXCLUDES(capsLock_);
  std::optional<CaptionRuntimeCapabilities> cached() CAPTION_EXCLUDES(capsLock_);

  std::weak_ptr<speech::SpeechService> service_;
  CaptionMutex capsLock_;
  std::optional<CaptionRuntimeCapabilities> cachedCaps_ CAPTION_GUARDED_BY(capsLock_);
  std::shared_ptr<Probe> capsTask_ CAPTION_GUARDED_BY(capsLock_);
};

}  // namespace quorvel
