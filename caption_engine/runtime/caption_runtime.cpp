// Session start and bring-up, stop, context updates and status.
#include <malloc.h>

#include <cmath>
#include <thread>

#include "caption_engine/audio/file_audio_producer.h"
#include "caption_engine/logic/caption_terms.h"
#include "caption_engine/runtime/caption_results_task.h"
#include "caption_engine/runtime/caption_runtime_impl.h"

namespace quorvel {

namespace {

std::string yesNo(bool b) { return b ? "true" : "false"; }

CaptionRuntimeFailure startFailed(std::string message) {
  return CaptionRuntimeFailure(CaptionRuntimeErrorCode::captionsStartFailed, std::move(message),
                               std::nullopt, CaptionState::error, false);
}

Json localeContext(const std::string& reason, const std::string& locale) {
  Json c = Json::object();
  c["reason"] = reason;
  c["locale"] = locale;
  return c;
}

// A start that a stop ended before the session was running.
CaptionRuntimeFailure startCancelled(const std::string& sessionId) {
  Json c = Json::object();
  c["reason"] = "stopped";
  c["sessionId"] = sessionId;
  return CaptionRuntimeFailure(CaptionRuntimeErrorCode::captionsStartFailed,
                               "caption session " + sessionId + " was stopped while starting", c,
                               CaptionState::stopped, false);
}

}  // namespace

std::shared_ptr<CaptionRuntime> CaptionRuntime::make(
    CaptionRuntimeEvents events, std::shared_ptr<CaptionAudioPlatform> platform,
    std::shared_ptr<speech::SpeechService> service) {
  return CaptionRuntimeImpl::create(std::move(events), std::move(platform), std::move(service),
                                    {});
}

std::shared_ptr<CaptionRuntimeImpl> CaptionRuntimeImpl::create(
    CaptionRuntimeEvents events, std::shared_ptr<CaptionAudioPlatform> platform,
    std::shared_ptr<speech::SpeechService> service, Options options) {
  return std::shared_ptr<CaptionRuntimeImpl>(new CaptionRuntimeImpl(
      std::move(events), std::move(platform), std::move(service), std::move(options)));
}

CaptionRuntimeImpl::CaptionRuntimeImpl(CaptionRuntimeEvents events,
                                       std::shared_ptr<CaptionAudioPlatform> platform,
                                       std::shared_ptr<speech::SpeechService> service,
                                       Options options)
    : events_(std::move(events)),
      platform_(std::move(platform)),
      service_(std::move(service)),
      caps_(CaptionCapabilitiesCache::forService(service_)),
      clock_(options.clock ? options.clock : std::function<int64_t()>(captionNowMs)),
      options_(std::move(options)),
      watchdogQueue_(options_.manualWatchdog) {}

// Destroying the runtime releases what it holds and stops nothing: its tasks, the results loop
// and producer callbacks hold it weakly and end on their own.
CaptionRuntimeImpl::~CaptionRuntimeImpl() = default;

// ---- Start ----------------------------------------------------------------------------------

void CaptionRuntimeImpl::start(const CaptionsStartRequest& request,
                               Completion<CaptionRuntimeStartResult> completion) {
  uint64_t serial = 0;
  {
    CaptionMutexLock lock(stateLock_);
    if (busy_) {
      const std::optional<std::string> current = sessionId_;
      lock.unlock();
      Json context = Json::object();
      context["reason"] = "busy";
      context["sessionId"] = current ? Json(*current) : Json(nullptr);
      completion(CaptionRuntimeOutcome<CaptionRuntimeStartResult>::failed(CaptionRuntimeFailure(
          CaptionRuntimeErrorCode::captionsStartFailed,
          "a caption session is already running (" + current.value_or("unknown") +
              ") \u2014 stop it first",
          context, CaptionState::running, false)));
      return;
    }
    const int64_t now = nowMs();
    busy_ = true;
    sessionId_ = request.sessionId;
    locale_ = request.locale;
    startedAtMs_.reset();
    endedAtMs_.reset();
    wireState_ = CaptionState::starting;
    sequencer_ = CaptionSegmentSequencer();
    levels_ = CaptionLevelTracker();
    path_ = CaptionAudioPathMachine();
    buffersFed_ = 0;
    loggedUnmeasurableLevel_ = false;
    uiWindows_.reset();
    watchdog_ = CaptionSilenceWatchdog(now);
    serial = ++serial_;
    startingSerial_ = serial;
    stopRequestedSerial_.reset();
    stoppingSerial_.reset();
  }
  events_.raiseState(CaptionState::starting, request.sessionId, std::nullopt, std::nullopt);
  std::thread([weak = weak_from_this(), request, serial, completion = std::move(completion)] {
    if (auto self = weak.lock()) self->runStart(request, serial, completion);
  }).detach();
}

void CaptionRuntimeImpl::runStart(const CaptionsStartRequest& request, uint64_t serial,
                                  const Completion<CaptionRuntimeStartResult>& completion) {
  const std::string& sid = request.sessionId;
  std::optional<CaptionRuntimeFailure> failure;
  BringUpResult up{0, {}};
  try {
    up = bringUp(request, serial);
  } catch (const CaptionRuntimeFailure& f) {
    failure = f;
  } catch (const std::exception& e) {
    failure = startFailed(std::string("caption start failed: ") + e.what());
  } catch (...) {
    failure = startFailed("caption start failed: unknown error");
  }

  if (!failure) {
    if (markRunning(serial, up.startedAtMs, up.locale)) {
      completion(CaptionRuntimeOutcome<CaptionRuntimeStartResult>::ok(
          CaptionRuntimeStartResult{up.locale, up.startedAtMs}));
      events_.raiseState(CaptionState::running, sid, std::nullopt, std::nullopt);
      endStartTask(serial);
      return;
    }
    failure = startCancelled(sid);
  }

  stopProducers();
  finishInput();
  if (!awaitResultsTask(/*cancel=*/true)) {
    events_.raiseLog("[captions] results stream of " + sid +
                     " did not end after its start failed; leaving it behind");
  }
  releaseAnalyzer();
  markStartFailed(failure->state);
  events_.raiseState(failure->state, sid, failure->message, std::nullopt);
  events_.raiseLog("[captions] start failed: " + failure->message);
  completion(CaptionRuntimeOutcome<CaptionRuntimeStartResult>::failed(*failure));
  endStartTask(serial);
}

void CaptionRuntimeImpl::checkNotCancelled(uint64_t serial, const std::string& sessionId) {
  bool cancelled;
  {
    CaptionMutexLock lock(stateLock_);
    cancelled = stopRequestedSerial_ == serial;
  }
  if (cancelled) throw startCancelled(sessionId);
}

CaptionRuntimeImpl::BringUpResult CaptionRuntimeImpl::bringUp(const CaptionsStartRequest& request,
                                                              uint64_t serial) {
  const std::string& sid = request.sessionId;

  // The producer; a file is opened directly, devices through the platform.
  std::shared_ptr<CaptionAudioProducer> producer;
  if (const auto* file = request.source.asFile()) {
    producer = std::make_shared<FileAudioProducer>(file->path, file->paced);
  } else {
    producer = platform_->makeProducer(request.source);
  }
  {
    CaptionMutexLock lock(ioLock_);
    producer_ = producer;
  }
  checkNotCancelled(serial, sid);

  const std::optional<std::string> resolved = resolveLocale(request.locale);
  if (!resolved) {
    throw CaptionRuntimeFailure(CaptionRuntimeErrorCode::captionsModelMissing,
                                "locale " + request.locale +
                                    " is not one SpeechTranscriber supports on " + "this Mac",
                                localeContext("unsupported_locale", request.locale),
                                CaptionState::modelMissing, false);
  }
  const std::string locale = *resolved;

  speech::TranscriberOptions options;
  options.etiquetteReplacements = request.profanityFilter;
  options.volatileResults = true;
  options.fastResults = request.fast;
  options.audioTimeRange = true;
  std::shared_ptr<speech::SpeechTranscriber> transcriber =
      service_->makeTranscriber(locale, options);

  if (!isInstalled(locale)) {
    if (!request.installIfMissing) {
      throw CaptionRuntimeFailure(CaptionRuntimeErrorCode::captionsModelMissing,
                                  "the on-device model for " + locale +
                                      " is not installed (pass installIfMissing to download it)",
                                  localeContext("not_installed", locale),
                                  CaptionState::modelMissing, false);
    }
    installAssets(*transcriber, locale);
  }
  checkNotCancelled(serial, sid);

  std::shared_ptr<speech::SpeechAnalyzer> analyzer = service_->makeAnalyzer(transcriber);
  if (!request.terms.empty()) {
    try {
      analyzer->setContext(request.terms);
    } catch (const std::exception& e) {
      events_.raiseLog(std::string("[captions] setContext at start failed: ") + e.what());
    }
  }

  const std::optional<AudioFormat> format = analyzer->bestAvailableAudioFormat();
  if (!format) throw startFailed("no compatible analyzer audio format on this Mac");

  auto stream = std::make_shared<speech::AnalyzerInputStream>();
  {
    CaptionMutexLock lock(ioLock_);
    analyzer_ = analyzer;
    transcriber_ = transcriber;
    continuation_ = stream;
    analyzerFormat_ = *format;
    converter_ = std::make_unique<CaptionAudioConverter>(*format);
  }

  startResultsLoop(transcriber, sid, locale);
  checkNotCancelled(serial, sid);

  try {
    analyzer->start(stream);
  } catch (const CaptionRuntimeFailure&) {
    throw;
  } catch (const std::exception& e) {
    throw startFailed(std::string("SpeechAnalyzer refused to start: ") + e.what());
  }
  checkNotCancelled(serial, sid);

  const int64_t startedAtMs = nowMs();
  std::weak_ptr<CaptionRuntimeImpl> weak = weak_from_this();
  producer->start(
      [weak](const PcmBuffer& buffer) {
        if (auto self = weak.lock()) self->ingest(buffer);
      },
      [weak, sid](const CaptionAudioPathEvent& event) {
        if (auto self = weak.lock()) self->notePath(event, sid);
      },
      [events = events_](const std::string& line) { events.raiseLog(line); });

  events_.raiseLog("[captions] session " + sid + " running: locale=" + locale +
                   " fast=" + yesNo(request.fast) + " terms=" +
                   std::to_string(request.terms.size()) +
                   " profanityFilter=" + yesNo(request.profanityFilter) +
                   " format=" + format->description());
  return {startedAtMs, locale};
}

bool CaptionRuntimeImpl::markRunning(uint64_t serial, int64_t startedAtMs,
                                     const std::string& locale) {
  // The timer is armed in the same step that marks the session running, so a stop that follows
  // always finds it and cancels it.
  std::weak_ptr<CaptionRuntimeImpl> weak = weak_from_this();
  std::shared_ptr<CaptionRepeatingTimer> timer = watchdogQueue_.makeTimer(watchdogPeriod, [weak] {
    if (auto self = weak.lock()) self->tickWatchdog();
  });
  std::shared_ptr<CaptionRepeatingTimer> previous;
  {
    CaptionMutexLock lock(stateLock_);
    if (stopRequestedSerial_ == serial) return false;
    startedAtMs_ = startedAtMs;
    locale_ = locale;
    watchdog_ = CaptionSilenceWatchdog(startedAtMs);
    wireState_ = CaptionState::running;
    previous = std::exchange(levelTimer_, timer);
  }
  if (previous) previous->cancel();
  timer->start();
  return true;
}

void CaptionRuntimeImpl::markStartFailed(CaptionState state) {
  const int64_t now = nowMs();
  CaptionMutexLock lock(stateLock_);
  busy_ = false;
  wireState_ = state;
  endedAtMs_ = now;
  stateChanged_.notify_all();
}

void CaptionRuntimeImpl::endStartTask(uint64_t serial) {
  CaptionMutexLock lock(stateLock_);
  if (startingSerial_ == serial) startingSerial_.reset();
  if (stopRequestedSerial_ == serial) stopRequestedSerial_.reset();
  stateChanged_.notify_all();
}

// ---- Stop -----------------------------------------------------------------------------------

CaptionRuntimeStopResult CaptionRuntimeImpl::idleStopResult(
    const std::optional<std::string>& requested) {
  if (requested && requested != sessionId_) return {0, 0};
  return {sequencer_.finals(), CaptionStatusMapping::seconds(startedAtMs_, endedAtMs_, nowMs())};
}

void CaptionRuntimeImpl::stop(std::optional<std::string> sessionId,
                              Completion<CaptionRuntimeStopResult> completion) {
  CaptionMutexLock lock(stateLock_);
  if (busy_ && sessionId_) {
    const std::string current = *sessionId_;
    if (!sessionId || *sessionId == current) {
      const uint64_t serial = serial_;
      // A session still starting is told at once, so bring-up stops at its next step.
      if (startingSerial_ == serial) stopRequestedSerial_ = serial;
      lock.unlock();
      std::thread([weak = weak_from_this(), current, serial, completion = std::move(completion)] {
        if (auto self = weak.lock()) self->runStop(current, serial, completion);
      }).detach();
      return;
    }
    lock.unlock();
    Json context = Json::object();
    context["sessionId"] = current;
    completion(CaptionRuntimeOutcome<CaptionRuntimeStopResult>::failed(CaptionRuntimeFailure(
        CaptionRuntimeErrorCode::badRequest,
        "captionsStop names " + *sessionId + " but " + current + " is the running session",
        context, CaptionState::error, false)));
    return;
  }
  const CaptionRuntimeStopResult result = idleStopResult(sessionId);
  lock.unlock();
  completion(CaptionRuntimeOutcome<CaptionRuntimeStopResult>::ok(result));
}

void CaptionRuntimeImpl::runStop(const std::string& current, uint64_t serial,
                                 const Completion<CaptionRuntimeStopResult>& completion) {
  {
    CaptionMutexLock lock(stateLock_);
    // A start still in flight finishes first: cancelled at its next step, or already running.
    stateLock_.wait(stateChanged_, [&]() CAPTION_NO_THREAD_SAFETY_ANALYSIS {
      return startingSerial_ != serial;
    });
    // Another stop is already tearing this session down: its figures are ours.
    stateLock_.wait(stateChanged_, [&]() CAPTION_NO_THREAD_SAFETY_ANALYSIS {
      return !(busy_ && serial_ == serial && stoppingSerial_ == serial);
    });
    if (!(busy_ && serial_ == serial)) {
      const CaptionRuntimeStopResult result =
          serial_ == serial ? idleStopResult(current) : CaptionRuntimeStopResult{0, 0};
      lock.unlock();
      completion(CaptionRuntimeOutcome<CaptionRuntimeStopResult>::ok(result));
      return;
    }
    stoppingSerial_ = serial;
  }

  stopProducers();
  finishInput();
  std::shared_ptr<speech::SpeechAnalyzer> analyzer;
  {
    CaptionMutexLock lock(ioLock_);
    analyzer = analyzer_;
  }
  if (analyzer) {
    try {
      analyzer->finalizeAndFinishThroughEndOfInput();
    } catch (const std::exception& e) {
      events_.raiseLog(std::string("[captions] finalize failed: ") + e.what());
    }
  }
  if (!awaitResultsTask(/*cancel=*/false)) {
    const int64_t limitMs = options_.resultsDrainLimit.count();
    const std::string limit = limitMs % 1000 == 0 ? std::to_string(limitMs / 1000) + "s"
                                                  : std::to_string(limitMs) + "ms";
    events_.raiseLog("[captions] results of " + current + " did not end within " + limit +
                     " of the stop; stopping without them");
  }
  const StopFigures figures = markStopped(nowMs());
  releaseAnalyzer();
  events_.raiseState(CaptionState::stopped, current, std::nullopt, std::nullopt);
  events_.raiseLog("[captions] session " + current + " stopped: " + std::to_string(figures.finals) +
                   " finals, " + std::to_string(figures.seconds) + "s, " +
                   std::to_string(figures.dropped) + " volatiles coalesced");
  completion(CaptionRuntimeOutcome<CaptionRuntimeStopResult>::ok(
      CaptionRuntimeStopResult{figures.finals, figures.seconds}));
}

void CaptionRuntimeImpl::stopProducers() {
  std::shared_ptr<CaptionRepeatingTimer> timer;
  {
    CaptionMutexLock lock(stateLock_);
    timer = std::move(levelTimer_);
  }
  if (timer) timer->cancel();
  std::shared_ptr<CaptionAudioProducer> producer;
  {
    CaptionMutexLock lock(ioLock_);
    producer = std::move(producer_);
  }
  if (producer) producer->stop();
}

void CaptionRuntimeImpl::finishInput() {
  std::shared_ptr<speech::AnalyzerInputStream> stream;
  {
    CaptionMutexLock lock(ioLock_);
    stream = std::move(continuation_);
  }
  if (stream) stream->finish();
}

bool CaptionRuntimeImpl::awaitResultsTask(bool cancel) {
  std::shared_ptr<CaptionResultsTask> task;
  {
    CaptionMutexLock lock(ioLock_);
    task = resultsTask_;
  }
  if (!task) return true;
  if (cancel) task->cancel();
  if (task->waitEnded(options_.resultsDrainLimit)) return true;
  // Whatever the stream still delivers is dropped; the thread ends when the stream does.
  task->cancel();
  return false;
}

void CaptionRuntimeImpl::releaseAnalyzer() {
  // Taken under the lock, destroyed after it: releasing a service object may wait for its thread.
  std::shared_ptr<speech::SpeechAnalyzer> analyzer;
  std::shared_ptr<speech::SpeechTranscriber> transcriber;
  std::unique_ptr<CaptionAudioConverter> converter;
  std::shared_ptr<CaptionResultsTask> task;
  {
    CaptionMutexLock lock(ioLock_);
    analyzer = std::move(analyzer_);
    transcriber = std::move(transcriber_);
    converter = std::move(converter_);
    analyzerFormat_.reset();
    task = std::move(resultsTask_);
  }
  analyzer.reset();
  transcriber.reset();
  converter.reset();
  task.reset();
  // A session's model and decoder live on threads of their own, so the allocator keeps what they
  // freed in per-thread pools; without handing it back, a long-lived helper grows by a model's
  // worth of memory with every session.
  malloc_trim(0);
}

CaptionRuntimeImpl::StopFigures CaptionRuntimeImpl::markStopped(int64_t endedAtMs) {
  CaptionMutexLock lock(stateLock_);
  endedAtMs_ = endedAtMs;
  wireState_ = CaptionState::stopped;
  busy_ = false;
  stoppingSerial_.reset();
  StopFigures f;
  f.finals = sequencer_.finals();
  f.dropped = sequencer_.droppedVolatiles();
  f.seconds = startedAtMs_ ? std::max<int64_t>(
                                 0, static_cast<int64_t>(std::floor(
                                        static_cast<double>(endedAtMs - *startedAtMs_) / 1000.0)))
                           : 0;
  stateChanged_.notify_all();
  return f;
}

// ---- Context and status ---------------------------------------------------------------------

void CaptionRuntimeImpl::setContext(std::string sessionId, std::vector<std::string> terms,
                                    Completion<CaptionRuntimeVoid> completion) {
  bool matches;
  std::optional<std::string> current;
  {
    CaptionMutexLock lock(stateLock_);
    current = sessionId_;
    matches = busy_ && sessionId_ && *sessionId_ == sessionId;
  }
  std::shared_ptr<speech::SpeechAnalyzer> analyzer;
  if (matches) {
    CaptionMutexLock lock(ioLock_);
    analyzer = analyzer_;
  }
  if (!matches || !analyzer) {
    completion(CaptionRuntimeOutcome<CaptionRuntimeVoid>::failed(CaptionRuntimeFailure(
        CaptionRuntimeErrorCode::badRequest,
        "captionsSetContext names " + sessionId + " but the running session is " +
            current.value_or("none"),
        std::nullopt, CaptionState::error, false)));
    return;
  }
  std::thread([analyzer, terms = CaptionTerms::normalise(terms), events = events_,
               completion = std::move(completion)] {
    try {
      analyzer->setContext(terms);
    } catch (const std::exception& e) {
      completion(CaptionRuntimeOutcome<CaptionRuntimeVoid>::failed(CaptionRuntimeFailure(
          CaptionRuntimeErrorCode::internal, std::string("setContext failed: ") + e.what(),
          std::nullopt, CaptionState::error, false)));
      return;
    }
    events.raiseLog("[captions] context set: " + std::to_string(terms.size()) + " terms");
    completion(CaptionRuntimeOutcome<CaptionRuntimeVoid>::ok({}));
  }).detach();
}

CaptionRuntimeStatus CaptionRuntimeImpl::status() {
  CaptionRuntimeStatus s;
  s.nowMs = nowMs();
  CaptionMutexLock lock(stateLock_);
  s.state = wireState_;
  s.sessionId = sessionId_;
  s.locale = locale_;
  s.startedAtMs = startedAtMs_;
  s.endedAtMs = endedAtMs_;
  s.lastSpeechAtMs = watchdog_.lastSpeechAtMs();
  s.levelDb = levels_.reported(s.nowMs);
  return s;
}

// ---- Test hooks -----------------------------------------------------------------------------

bool CaptionRuntimeImpl::fireWatchdogTimer() {
  std::shared_ptr<CaptionRepeatingTimer> timer;
  {
    CaptionMutexLock lock(stateLock_);
    timer = levelTimer_;
  }
  return timer && timer->fire();
}

int CaptionRuntimeImpl::converterContextsMade() {
  CaptionMutexLock lock(ioLock_);
  return converter_ ? converter_->contextsMade() : 0;
}

int64_t CaptionRuntimeImpl::buffersFed() {
  CaptionMutexLock lock(stateLock_);
  return buffersFed_;
}

}  // namespace quorvel
