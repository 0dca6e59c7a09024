// The caption runtime behind CaptionRuntime::make. Declared here, rather than kept in one source
// file, so that tests can give it a clock and drive its watchdog timer by hand.
//
// Locks: stateLock guards the session bookkeeping, ioLock the audio and analyzer objects. The two
// are never held together, and no event, completion, producer call or speech service call is
// made while either is held: every operation collects under a lock, releases it, then calls out.
//
// Threads: the public operations may be called from any thread. Bring-up, stop, context updates
// and model work run on task threads of their own; the results loop on its own thread; timer
// ticks on the watchdog queue; ingest on the producer's delivery context. Everything the runtime
// starts holds it weakly.
//
// A stop while the session is still starting is coordinated with bring-up: the stop marks the
// session cancelled and waits for the start task to finish. Bring-up checks the mark before each
// step that would start something and once more when it would mark the session running; a
// cancelled start ends as a failed start in the state "stopped", and the stop then completes
// with no session running.
//
// A stop waits for the results stream to end for at most resultsDrainLimit (10 s); past that it
// logs a line, drops whatever the stream still delivers, and completes. Two stops of one session
// tear it down once: the second waits for the first and answers with the same figures.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "caption_engine/audio/caption_audio_converter.h"
#include "caption_engine/levels/caption_level_windows.h"
#include "caption_engine/logic/caption_audio_path_machine.h"
#include "caption_engine/logic/caption_level_tracker.h"
#include "caption_engine/logic/caption_segment_sequencer.h"
#include "caption_engine/logic/caption_silence_watchdog.h"
#include "caption_engine/runtime/caption_capabilities_cache.h"
#include "caption_engine/runtime/caption_mutex.h"
#include "caption_engine/runtime/caption_runtime.h"
#include "caption_engine/runtime/caption_watchdog_queue.h"

namespace quorvel {

class CaptionResultsTask;

class CaptionRuntimeImpl final : public CaptionRuntime,
                                 public std::enable_shared_from_this<CaptionRuntimeImpl> {
 public:
  struct Options {
    // Wall-clock milliseconds since the Unix epoch; captionNowMs when unset.
    std::function<int64_t()> clock;
    // True: the watchdog timer is never scheduled; tests fire it with fireWatchdogTimer().
    bool manualWatchdog = false;
    // How long a stop (or a failed start) waits for the results stream to end.
    std::chrono::milliseconds resultsDrainLimit{10000};
  };

  static constexpr std::chrono::milliseconds watchdogPeriod{200};

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

  // One producer buffer: converted to the analyzer's format, measured, counted and handed to the
  // analyzer. Runs on the producer's delivery context.
  void ingest(const PcmBuffer& buffer) CAPTION_EXCLUDES(stateLock_, ioLock_);
  void noteFedBuffer(std::optional<double> levelDb) CAPTION_EXCLUDES(stateLock_);
  void noteReadings(const PcmBuffer& buffer) CAPTION_EXCLUDES(stateLock_);
  void notePath(const CaptionAudioPathEvent& event, const std::string& sessionId)
      CAPTION_EXCLUDES(stateLock_);
  // One watchdog tick: the level event and the silence rule. Called by the timer.
  void tickWatchdog() CAPTION_EXCLUDES(stateLock_);

  // Test hooks. fireWatchdogTimer runs one tick through the armed timer, exactly as the queue
  // would, and answers whether a live timer was armed.
  bool fireWatchdogTimer() CAPTION_EXCLUDES(stateLock_);
  int converterContextsMade() CAPTION_EXCLUDES(ioLock_);
  int64_t buffersFed() CAPTION_EXCLUDES(stateLock_);

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

  // Start.
  void runStart(const CaptionsStartRequest& request, uint64_t serial,
                const Completion<CaptionRuntimeStartResult>& completion)
      CAPTION_EXCLUDES(stateLock_, ioLock_);
  BringUpResult bringUp(const CaptionsStartRequest& request, uint64_t serial)
      CAPTION_EXCLUDES(stateLock_, ioLock_);
  // Throws the cancellation failure when a stop has asked this start to end.
  void checkNotCancelled(uint64_t serial, const std::string& sessionId)
      CAPTION_EXCLUDES(stateLock_);
  // Marks the session running and arms the watchdog timer in one step; false (nothing changed)
  // when a stop has asked this start to end.
  bool markRunning(uint64_t serial, int64_t startedAtMs, const std::string& locale)
      CAPTION_EXCLUDES(stateLock_);
  void markStartFailed(CaptionState state) CAPTION_EXCLUDES(stateLock_);
  void endStartTask(uint64_t serial) CAPTION_EXCLUDES(stateLock_);

  // Stop and teardown.
  void runStop(const std::string& current, uint64_t serial,
               const Completion<CaptionRuntimeStopResult>& completion)
      CAPTION_EXCLUDES(stateLock_, ioLock_);
  void stopProducers() CAPTION_EXCLUDES(stateLock_, ioLock_);
  void finishInput() CAPTION_EXCLUDES(ioLock_);
  void releaseAnalyzer() CAPTION_EXCLUDES(ioLock_);
  StopFigures markStopped(int64_t endedAtMs) CAPTION_EXCLUDES(stateLock_);
  // Waits for the results loop to end (cancelling it first when asked); true when it ended
  // within the drain limit.
  bool awaitResultsTask(bool cancel) CAPTION_EXCLUDES(ioLock_);
  CaptionRuntimeStopResult idleStopResult(const std::optional<std::string>& requested)
      CAPTION_REQUIRES(stateLock_);

  // Results.
  void startResultsLoop(std::shared_ptr<speech::SpeechTranscriber> transcriber,
                        const std::string& sessionId, const std::string& locale)
      CAPTION_EXCLUDES(ioLock_);
  void emit(const speech::SpeechResult& result, const std::string& sessionId,
            const std::string& locale) CAPTION_EXCLUDES(stateLock_);
  void resultsStreamFailed(const std::string& sessionId, const std::string& description)
      CAPTION_EXCLUDES(stateLock_);

  // Locales and models.
  std::optional<std::string> resolveLocale(const std::string& requested);
  bool isInstalled(const std::string& locale);
  void installAssets(const speech::SpeechTranscriber& transcriber, const std::string& id);

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

  // Audio and analyzer objects (ioLock).
  std::shared_ptr<CaptionAudioProducer> producer_ CAPTION_GUARDED_BY(ioLock_);
  std::shared_ptr<speech::SpeechAnalyzer> analyzer_ CAPTION_GUARDED_BY(ioLock_);
  std::shared_ptr<speech::SpeechTranscriber> transcriber_ CAPTION_GUARDED_BY(ioLock_);
  std::shared_ptr<speech::AnalyzerInputStream> continuation_ CAPTION_GUARDED_BY(ioLock_);
  std::shared_ptr<CaptionResultsTask> resultsTask_ CAPTION_GUARDED_BY(ioLock_);
  std::optional<AudioFormat> analyzerFormat_ CAPTION_GUARDED_BY(ioLock_);
  // Keeps one conversion context per input format across buffers; made for the analyzer's
  // format at bring-up and dropped with the analyzer.
  std::unique_ptr<CaptionAudioConverter> converter_ CAPTION_GUARDED_BY(ioLock_);
};

}  // namespace quorvel
