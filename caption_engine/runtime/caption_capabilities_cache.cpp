#include "caption_engine/runtime/caption_capabilities_cache.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace quorvel {

// One run of the probe: its value once it has finished.
struct CaptionCapabilitiesCache::Probe {
  std::mutex m;
  std::condition_variable done;
  std::optional<CaptionRuntimeCapabilities> value;

  void finish(CaptionRuntimeCapabilities v) {
    {
      std::lock_guard lock(m);
      value = std::move(v);
    }
    done.notify_all();
  }
};

namespace {

// Waits longer than a day are taken as a day, so the deadline cannot overflow the clock.
constexpr int64_t kLongestWaitMs = 24LL * 3600 * 1000;

CaptionRuntimeCapabilities placeholder() {
  CaptionRuntimeCapabilities c;
  c.supported = true;
  return c;
}

std::vector<std::string> sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());  // byte order of UTF-8 is code-point order
  return v;
}

}  // namespace

std::shared_ptr<CaptionCapabilitiesCache> CaptionCapabilitiesCache::forService(
    const std::shared_ptr<speech::SpeechService>& service) {
  // A cache lives as long as some runtime on its service holds it; every such runtime also holds
  // the service, so a live entry's key can never be reused by another service object.
  static std::mutex registryLock;
  static std::map<const speech::SpeechService*, std::weak_ptr<CaptionCapabilitiesCache>> registry;
  std::lock_guard lock(registryLock);
  for (auto it = registry.begin(); it != registry.end();) {
    it = it->second.expired() ? registry.erase(it) : std::next(it);
  }
  auto& slot = registry[service.get()];
  auto cache = slot.lock();
  if (!cache) {
    cache = std::make_shared<CaptionCapabilitiesCache>(service);
    slot = cache;
  }
  return cache;
}

std::optional<CaptionRuntimeCapabilities> CaptionCapabilitiesCache::cached() {
  CaptionMutexLock lock(capsLock_);
  return cachedCaps_;
}

std::shared_ptr<CaptionCapabilitiesCache::Probe> CaptionCapabilitiesCache::probeTask() {
  std::shared_ptr<Probe> probe;
  {
    CaptionMutexLock lock(capsLock_);
    if (capsTask_) return capsTask_;
    probe = std::make_shared<Probe>();
    capsTask_ = probe;
  }
  // A detached thread: a caller that stops waiting does not stop the probe, which goes on to fill
  // the cache for later queries. It holds the cache weakly through the service's runtimes.
  std::thread([service = service_.lock(), self = weak_from_this(), probe] {
    CaptionRuntimeCapabilities caps = placeholder();
    bool ok = false;
    if (service) {
      try {
        caps.supportedLocales = sorted(service->supportedLocales());
        caps.installedLocales = sorted(service->installedLocales());
        caps.neuralLocales = sorted(service->neuralLocales());
        ok = true;
      } catch (...) {
        // A failing service is answered with the placeholder and not cached.
      }
    }
    if (auto cache = self.lock(); cache && ok) {
      CaptionMutexLock lock(cache->capsLock_);
      // Only the current probe fills the cache: one that an installation made stale must not
      // overwrite the fresher answer the next probe will give.
      if (cache->capsTask_ == probe) cache->cachedCaps_ = caps;
    }
    probe->finish(std::move(caps));
  }).detach();
  return probe;
}

CaptionRuntimeCapabilities CaptionCapabilitiesCache::capabilities(int64_t waitMs) {
  if (auto c = cached()) return *c;
  auto probe = probeTask();
  {
    std::unique_lock lock(probe->m);
    probe->done.wait_until(
        lock,
        std::chrono::steady_clock::now() +
            std::chrono::milliseconds(std::clamp<int64_t>(waitMs, 0, kLongestWaitMs)),
        [&] { return probe->value.has_value(); });
  }
  if (auto c = cached()) return *c;
  return placeholder();
}

CaptionRuntimeCapabilities CaptionCapabilitiesCache::capabilities() {
  if (auto c = cached()) return *c;
  auto probe = probeTask();
  std::unique_lock lock(probe->m);
  probe->done.wait(lock, [&] { return probe->value.has_value(); });
  return *probe->value;
}

void CaptionCapabilitiesCache::invalidate() {
  CaptionMutexLock lock(capsLock_);
  cachedCaps_.reset();
  capsTask_.reset();
}

}  // namespace quorvel
