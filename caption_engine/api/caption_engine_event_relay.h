// Holds a host's observers for an engine and turns the runtime's six event callbacks into observer
// events. The callbacks hold the relay weakly, so events raised after the relay (and the engine
// that owns it) is gone are dropped.
//
// Threads: setObservers and setReadingObserver from any thread. The callbacks may run on any
// thread, concurrently; each copies the one observer it feeds under the lock and calls it after
// releasing the lock, so replacing the observers never affects a delivery already under way.
#pragma once

#include <memory>
#include <mutex>

#include "caption_engine/api/caption_engine_values.h"
#include "caption_engine/runtime/caption_runtime_values.h"

namespace quorvel {

class CaptionEngineEventRelay {
 public:
  void setObservers(CaptionEngineObservers observers);
  void setReadingObserver(CaptionLevelReadingObserver observer);

  // The six runtime callbacks feeding the relay's observers.
  static CaptionRuntimeEvents runtimeEvents(std::weak_ptr<CaptionEngineEventRelay> relay);

 private:
  template <class Callback>
  Callback copy(Callback CaptionEngineObservers::*field);
  CaptionLevelReadingObserver copyReadingObserver();

  std::mutex lock_;
  CaptionEngineObservers observers_;             // guarded by lock_
  CaptionLevelReadingObserver readingObserver_;  // guarded by lock_
};

}  // namespace quorvel
