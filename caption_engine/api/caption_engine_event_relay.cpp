#include "caption_engine/api/caption_engine_event_relay.h"

#include <utility>

#include "caption_engine/api/caption_engine_translation.h"

namespace quorvel {

void CaptionEngineEventRelay::setObservers(CaptionEngineObservers observers) {
  CaptionEngineObservers old;
  {
    std::lock_guard guard(lock_);
    old = std::exchange(observers_, std::move(observers));
  }
  // The old callbacks (and whatever they captured) are released outside the lock.
}

void CaptionEngineEventRelay::setReadingObserver(CaptionLevelReadingObserver observer) {
  CaptionLevelReadingObserver old;
  {
    std::lock_guard guard(lock_);
    old = std::exchange(readingObserver_, std::move(observer));
  }
}

template <class Callback>
Callback CaptionEngineEventRelay::copy(Callback CaptionEngineObservers::*field) {
  std::lock_guard guard(lock_);
  return observers_.*field;
}

CaptionLevelReadingObserver CaptionEngineEventRelay::copyReadingObserver() {
  std::lock_guard guard(lock_);
  return readingObserver_;
}

CaptionRuntimeEvents CaptionEngineEventRelay::runtimeEvents(
    std::weak_ptr<CaptionEngineEventRelay> weak) {
  CaptionRuntimeEvents events;
  events.state = [weak](CaptionState state, const std::optional<std::string>& sessionId,
                        const std::optional<std::string>& reason, std::optional<double> levelDb) {
    auto relay = weak.lock();
    if (!relay) return;
    auto observer = relay->copy(&CaptionEngineObservers::onState);
    if (observer) observer(CaptionStateEvent{sessionId, state, reason, levelDb});
  };
  events.level = [weak](const std::string& sessionId, double levelDb) {
    auto relay = weak.lock();
    if (!relay) return;
    auto observer = relay->copy(&CaptionEngineObservers::onLevel);
    if (observer) observer(CaptionLevelEvent{sessionId, levelDb});
  };
  events.assetProgress = [weak](const std::string& locale, double fraction, bool done,
                                const std::optional<std::string>& error) {
    auto relay = weak.lock();
    if (!relay) return;
    auto observer = relay->copy(&CaptionEngineObservers::onAssetProgress);
    if (observer) {
      observer(CaptionAssetProgressEvent{locale, fraction, done, error});
    }
  };
  events.segment = [weak](const std::string& sessionId, const CaptionEmission& emission,
                          const std::string& locale) {
    auto relay = weak.lock();
    if (!relay) return;
    auto observer = relay->copy(&CaptionEngineObservers::onSegment);
    if (observer) observer(CaptionEngineTranslation::segment(sessionId, emission, locale));
  };
  events.log = [weak](const std::string& line) {
    auto relay = weak.lock();
    if (!relay) return;
    auto observer = relay->copy(&CaptionEngineObservers::onLog);
    if (observer) observer(line);
  };
  events.sourceEnded = [weak](const std::string& sessionId, int64_t audioMs) {
    auto relay = weak.lock();
    if (!relay) return;
    auto observer = relay->copy(&CaptionEngineObservers::onSourceEnded);
    if (observer) observer(CaptionSourceEndedEvent{sessionId, audioMs});
  };
  events.uiLevel = [weak](const std::string& sessionId, const CaptionLevelReading& reading) {
    auto relay = weak.lock();
    if (!relay) return;
    auto observer = relay->copyReadingObserver();
    if (observer) observer(CaptionLevelReadingEvent{sessionId, reading.levelDb, reading.bandsDb});
  };
  return events;
}

}  // namespace quorvel
