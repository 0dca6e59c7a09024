// Session start and bring-up, stop, context updates and status.
#include <malloc.h>

#include <cmath>
#include <thread>

#include "caption_engine/audio/caption_audio_error.h"
#include "caption_engine/audio/file_audio_producer.h"
#include "caption_engine/logic/caption_terms.h"
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

// An audio source that could not be opened, as the host is told.
CaptionRuntimeFailure audioUnavailable(const CaptionAudioError& e) {
  std::optional<Json> context;
  if (!e.context.empty()) {
    context = Json::object();
    for (const auto& [key, value] : e.context) (*context)[key] = value;
  }
  return CaptionRuntimeFailure(CaptionRuntimeErrorCode::captionsAudioUnavailable, e.what(),
                               std::move(context), CaptionState::error, false);
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

// Callbacks that post each call to the event queue, where the host's own callbacks run.
CaptionRuntimeEvents postingEvents(const CaptionRuntimeEvents& host,
                                   const std::shared_ptr<CaptionEventQueue>& queue) {
  CaptionRuntimeEvents e;
  e.state = [host, queue](CaptionState s, const std::optional<std::string>& sid,
                          const std::optional<std::string>& reason, std::optional<double> level) {
    queue->post([host, s, sid, reason, level] { host.raiseState(s, sid, reason, level); });
  };
  e.level = [host, queue](const std::string& sid, double db) {
    queue->post([host, sid, db] { host.raiseLevel(sid, db); });
  };
  e.assetProgress = [host, queue](const std::string& locale, double fraction, bool done,
                                  const std::optional<std::string>& error) {
    queue->post([host, locale, fraction, done, error] {
      host.raiseAssetProgress(locale, fraction, done, error);
    });
  };
  e.segment = [host, queue](const std::string& sid, const CaptionEmission& emission,
                            const std::string& locale) {
    queue->post([host, sid, emission, locale] { host.raiseSegment(sid, emission, locale); });
  };
  e.log = [host, queue](const std::string& line) {
    queue->post([host, line] { host.raiseLog(line); });
  };
  e.uiLevel = [host, queue](const std::string& sid, const CaptionLevelReading& reading) {
    queue->post([host, sid, reading] { host.raiseUiLevel(sid, reading); });
  };
  e.sourceEnded = [host, queue](const std::string& sid, int64_t audioMs) {
    queue->post([host, sid, audioMs] { host.raiseSourceEnded(sid, audioMs); });
  };
  return e;
}

}  // namespace

std::shared_ptr<CaptionRuntime> CaptionRuntime::make(
    CaptionRuntimeEvents events, std::shared_ptr<CaptionAudioPlatform> platform,
    std::shared_ptr<speech::SpeechService> service) {
  return CaptionRuntimeImpl::create(std::move(events), std::move(platform), std::move(service), {});
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
    : hostEvents_(std::move(events)),
      eventQueue_(std::make_shared<CaptionEventQueue>()),
      events_(postingEvents(hostEvents_, eventQueue_)),
      platform_(std::move(platform)),
      service_(std::move(service)),
      caps_(CaptionCapabilitiesCache::forService(service_)),
      clock_(options.clock ? options.clock : std::function<int64_t()>(captionNowMs)),
      options_(std::move(options)),
      watchdogQueue_(options_.manualWatchdog) {}

// Destroying the runtime releases what it holds and stops nothing: its tasks, the session thread
// and producer callbacks hold it weakly and end on their own. Callbacks not yet delivered are
// dropped; the event thread ends by itself.
CaptionRuntimeImpl::~CaptionRuntimeImpl() { eventQueue_->close(); }

// ---- Start ----------------------------------------------------------------------------------

void CaptionRuntimeImpl::start(const CaptionsStartRequest& request,
                               Completion<CaptionRuntimeStartResult> completion) {
  uint64_t serial = 0;
  std::shared_ptr<CaptionSessionIo> io;
  {
    CaptionMutexLock lock(stateLock_);
    if (busy_) {
      const std::optional<std::string> current = sessionId_;
      lock.unlock();
      Json context = Json::object();
      context["reason"] = "busy";
      context["sessionId"] = current ? Json(*current) : Json(nullptr);
      completion(CaptionRuntimeOutcome<CaptionRuntimeStartResult>::failed(
          CaptionRuntimeFailure(CaptionRuntimeErrorCode::captionsStartFailed,
                                "a caption session is already running (" +
                                    current.value_or("unknown") + ") \u2014 stop it first",
                                context, CaptionState::running, false)));
      return;
    }
    const int64_t now = nowMs();
    io = std::make_shared<CaptionSessionIo>(
        serial_ + 1, request.sessionId,
        std::make_shared<CaptionSessionIo::StartReply>(queued(std::move(completion))));
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
    startingIo_ = io;
    pendingPath_.clear();
    stopRequestedSerial_.reset();
    stoppingSerial_.reset();
  }
  {
    CaptionMutexLock lock(ioLock_);
    io_ = io;
  }
  events_.raiseState(CaptionState::starting, request.sessionId, std::nullopt, std::nullopt);
  std::thread([weak = weak_from_this(), request, io] {
    if (auto self = weak.lock()) self->runStart(request, io);
  }).detach();
}

void CaptionRuntimeImpl::runStart(const CaptionsStartRequest& request,
                                  const std::shared_ptr<CaptionSessionIo>& io) {
  const std::string& sid = request.sessionId;
  const uint64_t serial = io->serial;
  std::optional<CaptionRuntimeFailure> failure;
  BringUpResult up{0, {}};
  try {
    up = bringUp(request, io);
  } catch (const CaptionRuntimeFailure& f) {
    failure = f;
  } catch (const std::exception& e) {
    failure = startFailed(std::string("caption start failed: ") + e.what());
  } catch (...) {
    failure = startFailed("caption start failed: unknown error");
  }

  if (!failure) {
    if (markRunning(serial, up.startedAtMs, up.locale)) {
      if (auto completion = io->startReply->take()) {
        completion(CaptionRuntimeOutcome<CaptionRuntimeStartResult>::ok(
            CaptionRuntimeStartResult{up.locale, up.startedAtMs}));
      }
      events_.raiseState(CaptionState::running, sid, std::nullopt, std::nullopt);
      endStartTask(serial);
      // What the producer reported while the session was starting (an input lost already).
      std::vector<CaptionAudioPathEvent> early;
      {
        CaptionMutexLock lock(stateLock_);
        if (serial_ == serial) early.swap(pendingPath_);
      }
      for (const CaptionAudioPathEvent& event : early) notePath(event, sid);
      return;
    }
    failure = startCancelled(sid);
  }

  stopProducers(*io);
  finishInput(*io);
  if (!awaitSessionThread(*io, /*cancel=*/true)) {
    events_.raiseLog("[captions] session thread of " + sid +
                     " did not end after its start failed; leaving it behind");
  }
  releaseAnalyzer(io);
  // A stop that gave this start up has answered for it already.
  if (!markStartFailed(serial, failure->state)) return;
  events_.raiseState(failure->state, sid, failure->message, std::nullopt);
  events_.raiseLog("[captions] start failed: " + failure->message);
  if (auto completion = io->startReply->take()) {
    completion(CaptionRuntimeOutcome<CaptionRuntimeStartResult>::failed(*failure));
  }
  endStartTask(serial);
}

void CaptionRuntimeImpl::checkNotCancelled(const CaptionSessionIo& io) {
  bool cancelled;
  {
    CaptionMutexLock lock(stateLock_);
    cancelled = stopRequestedSerial_ == io.serial || startingSerial_ != io.serial;
  }
  if (cancelled) throw startCancelled(io.sessionId);
}

void CaptionRuntimeImpl::adopt(CaptionSessionIo& io,
                               std::shared_ptr<CaptionAudioProducer> producer) {
  {
    CaptionMutexLock lock(io.lock);
    if (!io.abandoned) {
      io.producer = std::move(producer);
      return;
    }
  }
  producer->stop();
  throw startCancelled(io.sessionId);
}

CaptionRuntimeImpl::BringUpResult CaptionRuntimeImpl::bringUp(
    const CaptionsStartRequest& request, const std::shared_ptr<CaptionSessionIo>& io) {
  const std::string& sid = request.sessionId;

  // The producer; a file is opened directly, devices through the platform.
  const CaptionAudioSource::File* file = request.source.asFile();
  std::shared_ptr<CaptionAudioProducer> producer;
  try {
    producer = file ? std::make_shared<FileAudioProducer>(file->path, file->paced,
                                                          io->startCancel.get_token())
                    : platform_->makeProducer(request.source);
  } catch (const CaptionAudioError& e) {
    // An open abandoned because of the stop is the stop's doing, not the file's.
    if (io->startCancel.stop_requested()) throw startCancelled(sid);
    throw audioUnavailable(e);
  }
  adopt(*io, producer);
  checkNotCancelled(*io);

  const std::optional<std::string> resolved = resolveLocale(request.locale);
  if (!resolved) {
    throw CaptionRuntimeFailure(
        CaptionRuntimeErrorCode::captionsModelMissing,
        "locale " + request.locale + " is not one SpeechTranscriber supports on " + "this Mac",
        localeContext("unsupported_locale", request.locale), CaptionState::modelMissing, false);
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
  checkNotCancelled(*io);

  std::shared_ptr<speech::SpeechAnalyzer> analyzer;
  try {
    analyzer = service_->makeAnalyzer(transcriber);
  } catch (const speech::SpeechModelMissingError& e) {
    throw CaptionRuntimeFailure(CaptionRuntimeErrorCode::captionsModelMissing, e.what(),
                                localeContext("not_installed", locale), CaptionState::modelMissing,
                                false);
  }
  if (!request.terms.empty()) {
    try {
      analyzer->setContext(request.terms);
      if (auto note = analyzer->contextNote()) events_.raiseLog("[captions] " + *note);
    } catch (const std::exception& e) {
      events_.raiseLog(std::string("[captions] setContext at start failed: ") + e.what());
    }
  }

  const std::optional<AudioFormat> format = analyzer->bestAvailableAudioFormat();
  if (!format) throw startFailed("no compatible analyzer audio format on this Mac");

  // A file waits for room in the queue, so the recognizer sets the pace of decoding; capture
  // must never be held up and drops its oldest audio instead.
  auto queue = file ? std::make_shared<CaptionAudioQueue>(fileQueueCapacity,
                                                          CaptionAudioQueue::WhenFull::wait)
                    : std::make_shared<CaptionAudioQueue>(captureQueueCapacity,
                                                          CaptionAudioQueue::WhenFull::dropOldest);
  {
    CaptionMutexLock lock(io->lock);
    if (io->abandoned) throw startCancelled(sid);
    io->analyzer = analyzer;
    io->queue = queue;
  }
  checkNotCancelled(*io);

  try {
    analyzer->start();
  } catch (const CaptionRuntimeFailure&) {
    throw;
  } catch (const std::exception& e) {
    throw startFailed(std::string("SpeechAnalyzer refused to start: ") + e.what());
  }

  std::weak_ptr<CaptionRuntimeImpl> weak = weak_from_this();
  auto thread = std::make_shared<CaptionSessionThread>(
      [weak, io, analyzer, queue, format = *format, locale](std::stop_token stop) {
        if (auto self = weak.lock()) self->runSession(io, analyzer, queue, format, locale, stop);
      });
  {
    CaptionMutexLock lock(io->lock);
    io->thread = thread;
  }
  checkNotCancelled(*io);

  const int64_t startedAtMs = nowMs();
  // The end of a file closes the utterance in progress, after the last buffer, and is told.
  producer->setOnEnded([queue](int64_t audioMs) { queue->pushBreak(audioMs); });
  try {
    producer->start([queue](const PcmBuffer& buffer) { queue->push(buffer); },
                    [weak, sid](const CaptionAudioPathEvent& event) {
                      if (auto self = weak.lock()) self->notePath(event, sid);
                    },
                    [events = events_](const std::string& line) { events.raiseLog(line); });
  } catch (const CaptionAudioError& e) {
    throw audioUnavailable(e);
  }

  events_.raiseLog(
      "[captions] session " + sid + " running: locale=" + locale + " fast=" + yesNo(request.fast) +
      " terms=" + std::to_string(request.terms.size()) +
      " profanityFilter=" + yesNo(request.profanityFilter) + " format=" + format->description());
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
    if (stopRequestedSerial_ == serial || startingSerial_ != serial) return false;
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

bool CaptionRuntimeImpl::markStartFailed(uint64_t serial, CaptionState state) {
  const int64_t now = nowMs();
  CaptionMutexLock lock(stateLock_);
  if (startingSerial_ != serial) return false;
  busy_ = false;
  wireState_ = state;
  endedAtMs_ = now;
  stateChanged_.notify_all();
  return true;
}

void CaptionRuntimeImpl::endStartTask(uint64_t serial) {
  CaptionMutexLock lock(stateLock_);
  if (startingSerial_ == serial) {
    startingSerial_.reset();
    startingIo_.reset();
  }
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
      std::shared_ptr<CaptionSessionIo> starting;
      if (startingSerial_ == serial) {
        stopRequestedSerial_ = serial;
        starting = startingIo_;
      }
      lock.unlock();
      if (starting) starting->startCancel.request_stop();
      std::thread([weak = weak_from_this(), current, serial,
                   completion = queued(std::move(completion))] {
        if (auto self = weak.lock()) self->runStop(current, serial, completion);
      }).detach();
      return;
    }
    lock.unlock();
    Json context = Json::object();
    context["sessionId"] = current;
    completion(CaptionRuntimeOutcome<CaptionRuntimeStopResult>::failed(CaptionRuntimeFailure(
        CaptionRuntimeErrorCode::badRequest,
        "captionsStop names " + *sessionId + " but " + current + " is the running session", context,
        CaptionState::error, false)));
    return;
  }
  const CaptionRuntimeStopResult result = idleStopResult(sessionId);
  lock.unlock();
  completion(CaptionRuntimeOutcome<CaptionRuntimeStopResult>::ok(result));
}

bool CaptionRuntimeImpl::giveUpStart(const std::string& sessionId, uint64_t serial) {
  const CaptionRuntimeFailure failure = startCancelled(sessionId);
  std::shared_ptr<CaptionSessionIo> io;
  {
    CaptionMutexLock lock(stateLock_);
    if (startingSerial_ != serial) return false;  // it ended after all
    // From here on the start can no longer mark the session running or failed.
    startingSerial_.reset();
    stopRequestedSerial_.reset();
    io = std::move(startingIo_);
    busy_ = false;
    wireState_ = failure.state;
    endedAtMs_ = nowMs();
    stateChanged_.notify_all();
  }
  {
    CaptionMutexLock lock(ioLock_);
    if (io_ == io) io_.reset();
  }
  // Whatever the start has made so far is stopped here; what it makes later, it stops itself.
  if (io) {
    {
      CaptionMutexLock lock(io->lock);
      io->abandoned = true;
    }
    stopProducers(*io);
    finishInput(*io);
  }
  events_.raiseState(failure.state, sessionId, failure.message, std::nullopt);
  events_.raiseLog("[captions] start failed: " + failure.message);
  if (io) {
    if (auto completion = io->startReply->take()) {
      completion(CaptionRuntimeOutcome<CaptionRuntimeStartResult>::failed(failure));
    }
  }
  return true;
}

void CaptionRuntimeImpl::runStop(const std::string& current, uint64_t serial,
                                 const Completion<CaptionRuntimeStopResult>& completion) {
  bool startEnded;
  {
    CaptionMutexLock lock(stateLock_);
    // A start still in flight finishes first: cancelled at its next step, or already running.
    startEnded = stateLock_.waitUntil(
        stateChanged_, std::chrono::steady_clock::now() + options_.startWaitLimit,
        [&]() CAPTION_NO_THREAD_SAFETY_ANALYSIS { return startingSerial_ != serial; });
  }
  if (!startEnded && giveUpStart(current, serial)) {
    CaptionRuntimeStopResult result;
    {
      CaptionMutexLock lock(stateLock_);
      result = serial_ == serial ? idleStopResult(current) : CaptionRuntimeStopResult{0, 0};
    }
    completion(CaptionRuntimeOutcome<CaptionRuntimeStopResult>::ok(result));
    return;
  }
  std::shared_ptr<CaptionSessionIo> io;
  {
    CaptionMutexLock lock(stateLock_);
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
  io = currentIo();

  if (io) {
    stopProducers(*io);
    finishInput(*io);
    if (!awaitSessionThread(*io, /*cancel=*/false)) {
      const int64_t limitMs = options_.resultsDrainLimit.count();
      const std::string limit = limitMs % 1000 == 0 ? std::to_string(limitMs / 1000) + "s"
                                                    : std::to_string(limitMs) + "ms";
      events_.raiseLog("[captions] results of " + current + " did not end within " + limit +
                       " of the stop; stopping without them");
    }
  }
  const StopFigures figures = markStopped(nowMs());
  if (io) releaseAnalyzer(io);
  events_.raiseState(CaptionState::stopped, current, std::nullopt, std::nullopt);
  events_.raiseLog("[captions] session " + current + " stopped: " + std::to_string(figures.finals) +
                   " finals, " + std::to_string(figures.seconds) + "s, " +
                   std::to_string(figures.dropped) + " volatiles coalesced");
  completion(CaptionRuntimeOutcome<CaptionRuntimeStopResult>::ok(
      CaptionRuntimeStopResult{figures.finals, figures.seconds}));
}

std::shared_ptr<CaptionSessionIo> CaptionRuntimeImpl::currentIo() {
  CaptionMutexLock lock(ioLock_);
  return io_;
}

void CaptionRuntimeImpl::stopProducers(CaptionSessionIo& io) {
  std::shared_ptr<CaptionRepeatingTimer> timer;
  {
    CaptionMutexLock lock(stateLock_);
    if (serial_ == io.serial) timer = std::move(levelTimer_);
  }
  if (timer) timer->cancel();
  std::shared_ptr<CaptionAudioProducer> producer;
  {
    CaptionMutexLock lock(io.lock);
    producer = io.producer;  // released with the session, after its queue is closed
  }
  if (producer) producer->stop();
}

void CaptionRuntimeImpl::finishInput(CaptionSessionIo& io) {
  std::shared_ptr<CaptionAudioQueue> queue;
  {
    CaptionMutexLock lock(io.lock);
    queue = io.queue;
  }
  // Buffers that arrive afterwards are dropped; a producer held back on a full queue goes on.
  if (queue) queue->close();
}

bool CaptionRuntimeImpl::awaitSessionThread(CaptionSessionIo& io, bool cancel) {
  std::shared_ptr<CaptionSessionThread> thread;
  std::shared_ptr<CaptionAudioQueue> queue;
  {
    CaptionMutexLock lock(io.lock);
    thread = io.thread;
    queue = io.queue;
  }
  if (cancel) {
    if (thread) thread->cancel();
    if (queue) queue->cancel();
  }
  if (!thread || thread->waitEnded(options_.resultsDrainLimit)) return true;
  // Whatever the session still recognizes is dropped; the thread ends when its decoder does.
  thread->cancel();
  if (queue) queue->cancel();
  return false;
}

void CaptionRuntimeImpl::releaseAnalyzer(const std::shared_ptr<CaptionSessionIo>& io) {
  {
    CaptionMutexLock lock(ioLock_);
    if (io_ == io) io_.reset();
  }
  // Taken under the lock, destroyed after it: releasing a producer or a model may wait for a
  // thread of its own.
  std::shared_ptr<CaptionAudioProducer> producer;
  std::shared_ptr<speech::SpeechAnalyzer> analyzer;
  std::shared_ptr<CaptionAudioQueue> queue;
  std::shared_ptr<CaptionSessionThread> thread;
  {
    CaptionMutexLock lock(io->lock);
    producer = std::move(io->producer);
    analyzer = std::move(io->analyzer);
    queue = std::move(io->queue);
    thread = std::move(io->thread);
  }
  producer.reset();
  thread.reset();
  analyzer.reset();
  queue.reset();
  // A session's model lives on threads of its own, so the allocator keeps what it freed in
  // per-thread pools; without handing it back, a long-lived helper grows by a model's worth of
  // memory with every session.
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
  f.seconds = CaptionStatusMapping::seconds(startedAtMs_, endedAtMs, endedAtMs);
  stateChanged_.notify_all();
  return f;
}

// ---- Context and status ---------------------------------------------------------------------

void CaptionRuntimeImpl::setContext(std::string sessionId, std::vector<std::string> terms,
                                    Completion<CaptionRuntimeVoid> completion) {
  bool matches;
  uint64_t serial = 0;
  std::optional<std::string> current;
  {
    CaptionMutexLock lock(stateLock_);
    current = sessionId_;
    matches = busy_ && sessionId_ && *sessionId_ == sessionId;
    serial = serial_;
  }
  std::shared_ptr<speech::SpeechAnalyzer> analyzer;
  if (matches) {
    if (std::shared_ptr<CaptionSessionIo> io = currentIo(); io && io->serial == serial) {
      CaptionMutexLock lock(io->lock);
      analyzer = io->analyzer;
    }
  }
  if (!matches || !analyzer) {
    completion(CaptionRuntimeOutcome<CaptionRuntimeVoid>::failed(
        CaptionRuntimeFailure(CaptionRuntimeErrorCode::badRequest,
                              "captionsSetContext names " + sessionId +
                                  " but the running session is " + current.value_or("none"),
                              std::nullopt, CaptionState::error, false)));
    return;
  }
  std::thread([analyzer, terms = CaptionTerms::normalise(terms), events = events_,
               completion = queued(std::move(completion))] {
    try {
      analyzer->setContext(terms);
    } catch (const std::exception& e) {
      completion(CaptionRuntimeOutcome<CaptionRuntimeVoid>::failed(CaptionRuntimeFailure(
          CaptionRuntimeErrorCode::internal, std::string("setContext failed: ") + e.what(),
          std::nullopt, CaptionState::error, false)));
      return;
    }
    events.raiseLog("[captions] context set: " + std::to_string(terms.size()) + " terms");
    if (auto note = analyzer->contextNote()) events.raiseLog("[captions] " + *note);
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
  std::shared_ptr<CaptionSessionIo> io = currentIo();
  return io ? io->convertersMade.load() : 0;
}

bool CaptionRuntimeImpl::flushEvents(std::chrono::milliseconds limit) {
  struct Mark {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    bool isDone() {
      std::lock_guard lock(m);
      return done;
    }
  };
  auto mark = std::make_shared<Mark>();
  eventQueue_->post([mark] {
    std::lock_guard lock(mark->m);
    mark->done = true;
    mark->cv.notify_all();
  });
  // From inside a callback the queue is delivered here instead.
  if (CaptionEventQueue::deliverWhileWaiting([&] { return mark->isDone(); })) return true;
  std::unique_lock lock(mark->m);
  return mark->cv.wait_for(lock, limit, [&] { return mark->done; });
}

int64_t CaptionRuntimeImpl::buffersFed() {
  CaptionMutexLock lock(stateLock_);
  return buffersFed_;
}

}  // namespace quorvel
