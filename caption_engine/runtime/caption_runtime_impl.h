// The caption runtime behind CaptionRuntime::make. Declared here, rather than kept in one source
// file, so that tests can give it a clock and drive its watchdog timer by hand.
//
// A session is a one-way pipeline: the producer hands its buffers to a bounded queue; the
// session's own thread converts each to the analyzer's format, measures it, feeds the recognizer
// synchronously and sequences what it recognizes; every event and completion is posted to the
// runtime's event queue, whose thread calls the host. Nothing that tears a session down waits for
// the event thread, so a host callback may call any runtime operation, stop included.
//
// Locks: stateLock guards the session bookkeeping, ioLock the current session's audio and
// recognition objects. The two are never held together, and no event, completion, producer call
// or speech service call is made while either is held: every operation collects under a lock,
// releases it, then calls out.
//
// Threads: the public operations may be called from any thread. Bring-up, stop, context updates
// and model work run on task threads of their own; the session's audio on its session thread;
// timer ticks on the watchdog queue; callbacks on the event queue's thread. Everything the
// runtime starts holds it weakly.
//
// A stop while the session is still starting is coordinated with bring-up: the stop marks the
// session cancelled, and bring-up checks the mark before each step that would start something.
// The stop waits for the start to end for at most startWaitLimit; a start still busy then (a
// source that will not open, say) is given up: the stop ends it as a failed start in the state
// "stopped" itself, answers, and the start's late objects are released by its own task.
//
// A stop waits for the session thread to finish the audio already queued for at most
// resultsDrainLimit (10 s); past that it logs a line, drops what the session still recognizes,
// and completes. Two stops of one session tear it down once: the second waits for the first and
// answers with the same figures.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "caption_engine/audio/caption_audio_converter.h"
#include "caption_engine/levels/caption_level_windows.h"
#include "caption_engine/logic/caption_audio_path_machine.h"
#include "caption_engine/logic/caption_level_tracker.h"
#include "caption_engine/logic/caption_segment_sequencer.h"
#include "caption_engine/logic/caption_silence_watchdog.h"
#include "caption_engine/runtime/caption_audio_queue.h"
#include "caption_engine/runtime/caption_capabilities_cache.h"
#include "caption_engine/runtime/caption_event_queue.h"
#include "caption_engine/runtime/caption_mutex.h"
#include "caption_engine/runtime/caption_runtime.h"
#include "caption_engine/runtime/caption_session_thread.h"
#include "caption_engine/runtime/caption_watchdog_queue.h"

namespace quorvel {

// A completion called at most once, by whichever of two threads takes it first (a start's answer
// comes from its own task, or from a stop that gave the start up).
template <class T>
class CaptionOnceCompletion {
 public:
  explicit CaptionOnceCompletion(std::function<void(T)> completion)
      : completion_(std::move(completion)) {}
  // The completion the first time, then nothing.
  std::function<void(T)> take() {
    std::lock_guard lock(mutex_);
    return std::exchange(completion_, nullptr);
  }

 private:
  std::mutex mutex_;
  std::function<void(T)> completion_;
};

// Everything one session owns for audio and recognition. Its start makes the objects one by one
// and its stop (or the start itself, when it fails) tears them down. A start that a stop has
// given up on finds the session abandoned and releases what it still makes.
struct CaptionSessionIo {
  using StartReply = CaptionOnceCompletion<CaptionRuntimeOutcome<CaptionRuntimeStartResult>>;
  CaptionSessionIo(uint64_t serial, std::string sessionId, std::shared_ptr<StartReply> reply)
      : serial(serial), sessionId(std::move(sessionId)), startReply(std::move(reply)) {}

  const uint64_t serial;
  const std::string sessionId;
  const std::shared_ptr<StartReply> startReply;
  // Requested by a stop during start-up: abandons the opening of a file source.
  std::stop_source startCancel;

  CaptionMutex lock;
  bool abandoned CAPTION_GUARDED_BY(lock) = false;
  std::shared_ptr<CaptionAudioProducer> producer CAPTION_GUARDED_BY(lock);
  std::shared_ptr<speech::SpeechAnalyzer> analyzer CAPTION_GUARDED_BY(lock);
  std::shared_ptr<CaptionAudioQueue> queue CAPTION_GUARDED_BY(lock);
  std::shared_ptr<CaptionSessionThread> thread CAPTION_GUARDED_BY(lock);

  // Written by the session thread only; read by tests.
  std::atomic<int> convertersMade{0};
};

class CaptionRuntimeImpl final : public CaptionRuntime,
                                 public std::enable_shared_from_this<CaptionRuntimeImpl> {
 public:
  struct Options {
    // Wall-clock milliseconds since the Unix epoch; captionNowMs when unset.
    std::function<int64_t()> clock;
    // True: the watchdog timer is never scheduled; tests fire it with fireWatchdogTimer().
    bool manualWatchdog = false;
    // How long a stop (or a failed start) waits for the session thread to end.
    std::chrono::milliseconds resultsDrainLimit{10000};
    // How long a stop waits for a start still in progress before giving it up.
    std::chrono::milliseconds startWaitLimit{1500};
  };

  static constexpr std::chrono::milliseconds watchdogPeriod{200};
  // Buffers that may wait for the session thread: a file producer is held back beyond a few
  // tenths of a second; capture keeps about ten seconds of 20 ms fragments before dropping.
  static constexpr size_t fileQueueCapacity = 4;
  static constexpr size_t captureQueueCapacity = 500;

  static std::shared_ptr<CaptionRuntimeImpl> create(CaptionRuntimeEvents events,
                                                    std::shared_ptr<CaptionAudioPlatform> platform,
                                                    std::shared_ptr<speech::SpeechService> service,
                                                    Options options);
  ~CaptionRuntimeImpl() override;

  void start(const CaptionsStartRequest& request,
             Completion<CaptionRuntimeStartResult> completion) override
      CAPTION_EXCLUDES(stateLock_, ioLock_);
  void stop(std::optional<std::string> sessionId,
            Completion<CaptionRuntimeStopResult> completion) override
      CAPTION_EXCLUDES(stateLock_, ioLock_);
  void setContext(std::string sessionId, std::vector<std::string> terms,
                  Completion<CaptionRuntimeVoid> completion) override
      CAPTION_EXCLUDES(stateLock_, ioLock_);
  void installLocale(std::string locale, Completion<bool> completion) override;
  void reserveLocale(std::string locale, std::function<void(bool)> completion) override;
  CaptionRuntimeStatus status() override CAPTION_EXCLUDES(stateLock_);
  CaptionRuntimeCapabilities capabilities(int64_t waitMs) override;
  CaptionRuntimeCapabilities capabilities() override;

  // One buffer for the current session, as its producer hands it over (dropped when no session
  // is accepting audio). Any thread.
  void ingest(const PcmBuffer& buffer) CAPTION_EXCLUDES(ioLock_);
  void notePath(const CaptionAudioPathEvent& event, const std::string& sessionId)
      CAPTION_EXCLUDES(stateLock_, ioLock_);
  // One watchdog tick: the level event and the silence rule. Called by the timer.
  void tickWatchdog() CAPTION_EXCLUDES(stateLock_);

  // Test hooks. fireWatchdogTimer runs one tick through the armed timer, exactly as the queue
  // would, and answers whether a live timer was armed.
  bool fireWatchdogTimer() CAPTION_EXCLUDES(stateLock_);
  int converterContextsMade() CAPTION_EXCLUDES(ioLock_);
  int64_t buffersFed() CAPTION_EXCLUDES(stateLock_);
  // Waits (bounded) until every callback posted so far has been delivered.
  bool flushEvents(std::chrono::milliseconds limit = std::chrono::seconds(10));
  // Session threads that have not ended yet.
  int sessionThreadsRunning() const { return sessionThreads_.load(); }

 private:
  struct BringUpResult {
    int64_t startedAtMs;
    std::string locale;
  };
  struct StopFigures {
    int64_t finals = 0;
    int64_t dropped = 0;
    int64_t seconds = 0;
  };

  CaptionRuntimeImpl(CaptionRuntimeEvents events, std::shared_ptr<CaptionAudioPlatform> platform,
                     std::shared_ptr<speech::SpeechService> service, Options options);

  int64_t nowMs() const { return clock_(); }
  // A completion that is delivered on the event queue, in order with the events.
  template <class T>
  std::function<void(T)> queued(std::function<void(T)> completion) const {
    return [queue = eventQueue_, completion = std::move(completion)](T value) {
      queue->post([completion, value = std::move(value)] { completion(value); });
    };
  }

  // Start.
  void runStart(const CaptionsStartRequest& request, const std::shared_ptr<CaptionSessionIo>& io)
      CAPTION_EXCLUDES(stateLock_, ioLock_);
  BringUpResult bringUp(const CaptionsStartRequest& request,
                        const std::shared_ptr<CaptionSessionIo>& io)
      CAPTION_EXCLUDES(stateLock_, ioLock_);
  // Throws the cancellation failure when a stop has asked this start to end.
  void checkNotCancelled(const CaptionSessionIo& io) CAPTION_EXCLUDES(stateLock_);
  // Hands a new object to the session, or throws the cancellation failure (after stopping the
  // object) when a stop has given the start up.
  void adopt(CaptionSessionIo& io, std::shared_ptr<CaptionAudioProducer> producer);
  // Marks the session running and arms the watchdog timer in one step; false (nothing changed)
  // when a stop has asked this start to end.
  bool markRunning(uint64_t serial, int64_t startedAtMs, const std::string& locale)
      CAPTION_EXCLUDES(stateLock_);
  // The failed start's end transition; false when a stop has already given the start up.
  bool markStartFailed(uint64_t serial, CaptionState state) CAPTION_EXCLUDES(stateLock_);
  // Tells stops waiting for this start that it has ended.
  void endStartTask(uint64_t serial) CAPTION_EXCLUDES(stateLock_);

  // The session thread.
  void runSession(const std::shared_ptr<CaptionSessionIo>& io,
                  const std::shared_ptr<speech::SpeechAnalyzer>& analyzer,
                  const std::shared_ptr<CaptionAudioQueue>& queue, AudioFormat format,
                  std::string locale, std::stop_token stop) CAPTION_EXCLUDES(stateLock_);
  // Whether the session is still the one this thread works for (busy, same serial).
  bool isCurrent(uint64_t serial) CAPTION_EXCLUDES(stateLock_);
  void noteFedBuffer(uint64_t serial, std::optional<double> levelDb) CAPTION_EXCLUDES(stateLock_);
  void noteReadings(uint64_t serial, const PcmBuffer& buffer) CAPTION_EXCLUDES(stateLock_);
  void emit(uint64_t serial, const std::vector<speech::SpeechResult>& results,
            const std::string& sessionId, const std::string& locale) CAPTION_EXCLUDES(stateLock_);
  void resultsStreamFailed(uint64_t serial, const std::string& sessionId,
                           const std::string& description) CAPTION_EXCLUDES(stateLock_);

  // Stop and teardown.
  void runStop(const std::string& current, uint64_t serial,
               const Completion<CaptionRuntimeStopResult>& completion)
      CAPTION_EXCLUDES(stateLock_, ioLock_);
  // Ends a start that did not end in time, as a failed start; false when it ended meanwhile.
  bool giveUpStart(const std::string& sessionId, uint64_t serial) CAPTION_EXCLUDES(stateLock_);
  void stopProducers(CaptionSessionIo& io) CAPTION_EXCLUDES(stateLock_);
  void finishInput(CaptionSessionIo& io);
  // Waits for the session thread to end (cancelling it first when asked); true when it ended
  // within the drain limit.
  bool awaitSessionThread(CaptionSessionIo& io, bool cancel);
  void releaseAnalyzer(const std::shared_ptr<CaptionSessionIo>& io) CAPTION_EXCLUDES(ioLock_);
  StopFigures markStopped(int64_t endedAtMs) CAPTION_EXCLUDES(stateLock_);
  CaptionRuntimeStopResult idleStopResult(const std::optional<std::string>& requested)
      CAPTION_REQUIRES(stateLock_);
  std::shared_ptr<CaptionSessionIo> currentIo() CAPTION_EXCLUDES(ioLock_);

  // Locales and models.
  std::optional<std::string> resolveLocale(const std::string& requested);
  bool isInstalled(const std::string& locale);
  void installAssets(const speech::SpeechTranscriber& transcriber, const std::string& id);

  // The host's callbacks, called on the event queue only.
  const CaptionRuntimeEvents hostEvents_;
  const std::shared_ptr<CaptionEventQueue> eventQueue_;
  // Callbacks that post to the event queue: what the runtime raises.
  const CaptionRuntimeEvents events_;
  const std::shared_ptr<CaptionAudioPlatform> platform_;
  const std::shared_ptr<speech::SpeechService> service_;
  const std::shared_ptr<CaptionCapabilitiesCache> caps_;
  const std::function<int64_t()> clock_;
  const Options options_;

  CaptionMutex stateLock_;
  CaptionMutex ioLock_;
  std::condition_variable stateChanged_;  // waited on with stateLock_ held
  CaptionWatchdogQueue watchdogQueue_;

  // Session bookkeeping (stateLock).
  bool busy_ CAPTION_GUARDED_BY(stateLock_) = false;
  std::optional<std::string> sessionId_ CAPTION_GUARDED_BY(stateLock_);
  std::optional<std::string> locale_ CAPTION_GUARDED_BY(stateLock_);
  std::optional<int64_t> startedAtMs_ CAPTION_GUARDED_BY(stateLock_);
  std::optional<int64_t> endedAtMs_ CAPTION_GUARDED_BY(stateLock_);
  CaptionState wireState_ CAPTION_GUARDED_BY(stateLock_) = CaptionState::idle;
  CaptionSegmentSequencer sequencer_ CAPTION_GUARDED_BY(stateLock_);
  CaptionSilenceWatchdog watchdog_ CAPTION_GUARDED_BY(stateLock_){0};
  CaptionLevelTracker levels_ CAPTION_GUARDED_BY(stateLock_);
  CaptionAudioPathMachine path_ CAPTION_GUARDED_BY(stateLock_);
  int64_t buffersFed_ CAPTION_GUARDED_BY(stateLock_) = 0;
  bool loggedUnmeasurableLevel_ CAPTION_GUARDED_BY(stateLock_) = false;
  std::shared_ptr<CaptionRepeatingTimer> levelTimer_ CAPTION_GUARDED_BY(stateLock_);
  std::optional<CaptionLevelWindows> uiWindows_ CAPTION_GUARDED_BY(stateLock_);
  // Which start is which: each start takes a new serial. A start task is in flight while
  // startingSerial_ names it; a stop during start-up names it in stopRequestedSerial_; a stop
  // task that is tearing a session down names it in stoppingSerial_.
  uint64_t serial_ CAPTION_GUARDED_BY(stateLock_) = 0;
  std::optional<uint64_t> startingSerial_ CAPTION_GUARDED_BY(stateLock_);
  std::optional<uint64_t> stopRequestedSerial_ CAPTION_GUARDED_BY(stateLock_);
  std::optional<uint64_t> stoppingSerial_ CAPTION_GUARDED_BY(stateLock_);
  // The objects of the start in flight, for a stop that has to give it up.
  std::shared_ptr<CaptionSessionIo> startingIo_ CAPTION_GUARDED_BY(stateLock_);
  // Path events that came while the session was still starting, applied once it runs.
  std::vector<CaptionAudioPathEvent> pendingPath_ CAPTION_GUARDED_BY(stateLock_);

  std::atomic<int> sessionThreads_{0};

  // The current session's audio and recognition objects (ioLock): from its start until its stop.
  std::shared_ptr<CaptionSessionIo> io_ CAPTION_GUARDED_BY(ioLock_);
};

}  // namespace quorvel
