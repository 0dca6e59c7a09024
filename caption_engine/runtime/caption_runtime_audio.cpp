// The session thread (conversion, metering, recognition and segments), the watchdog tick, and
// the path notes.
#include <cmath>

#include "caption_engine/levels/caption_audio_level.h"
#include "caption_engine/logic/caption_words.h"
#include "caption_engine/runtime/caption_runtime_impl.h"

namespace quorvel {

namespace {

// Milliseconds of a time in seconds, halves away from zero; nothing when not representable.
std::optional<int64_t> milliseconds(double seconds) {
  const double ms = seconds * 1000.0;
  if (!std::isfinite(ms) || std::fabs(ms) >= 9.0e18) return std::nullopt;
  return static_cast<int64_t>(std::llround(ms));
}

// A final's timed words in milliseconds, placed on its emission; words whose times cannot be
// represented are left out.
std::vector<CaptionWord> emittedWords(const std::vector<speech::SpeechWord>& words,
                                      const CaptionEmission& emission) {
  std::vector<CaptionWord> out;
  out.reserve(words.size());
  for (const speech::SpeechWord& w : words) {
    const std::optional<int64_t> startMs = milliseconds(w.startSeconds);
    const std::optional<int64_t> endMs = milliseconds(w.startSeconds + w.durationSeconds);
    if (startMs && endMs) out.push_back(CaptionWord{w.text, *startMs, *endMs});
  }
  return CaptionWords::placed(std::move(out), emission.tStartMs, emission.tEndMs);
}

std::string noAudioReason() {
  return "no speech above " +
         std::to_string(static_cast<int64_t>(CaptionSilenceWatchdog::thresholdDb)) + " dBFS for " +
         std::to_string(CaptionSilenceWatchdog::holdMs / 1000) + "s";
}

}  // namespace

// ---- The session thread ---------------------------------------------------------------------

void CaptionRuntimeImpl::ingest(const PcmBuffer& buffer) {
  std::shared_ptr<CaptionSessionIo> io = currentIo();
  if (!io) return;  // no session is accepting audio
  std::shared_ptr<CaptionAudioQueue> queue;
  {
    CaptionMutexLock lock(io->lock);
    queue = io->queue;
  }
  if (queue) queue->push(buffer);
}

void CaptionRuntimeImpl::runSession(const std::shared_ptr<CaptionSessionIo>& io,
                                    const std::shared_ptr<speech::SpeechAnalyzer>& analyzer,
                                    const std::shared_ptr<CaptionAudioQueue>& queue,
                                    AudioFormat format, std::string locale, std::stop_token stop) {
  const uint64_t serial = io->serial;
  const std::string& sid = io->sessionId;
  ++sessionThreads_;
  struct Leave {
    std::atomic<int>& count;
    ~Leave() { --count; }
  } leave{sessionThreads_};
  CaptionAudioConverter converter(format);
  bool streamFailed = false;

  // Runs one recognizer step; a failure ends recognition for the session (the audio is still
  // measured) and is reported once.
  auto recognize = [&](auto&& step) {
    if (streamFailed) return;
    std::vector<speech::SpeechResult> results;
    try {
      results = step();
    } catch (const std::exception& e) {
      streamFailed = true;
      events_.raiseLog(std::string("[captions] results stream error: ") + e.what());
      if (!stop.stop_requested()) resultsStreamFailed(serial, sid, e.what());
      return;
    }
    if (!stop.stop_requested()) emit(serial, results, sid, locale);
  };

  while (std::optional<CaptionAudioQueue::Item> item = queue->pop()) {
    if (stop.stop_requested()) return;
    if (const auto* mark = std::get_if<CaptionAudioQueue::BreakMark>(&*item)) {
      recognize([&] { return analyzer->endUtterance(); });
      if (mark->sourceEndedMs && !stop.stop_requested() && isCurrent(serial)) {
        events_.raiseSourceEnded(sid, *mark->sourceEndedMs);
      }
      continue;
    }
    const PcmBuffer& buffer = std::get<PcmBuffer>(*item);
    CaptionAudioConverter::Result result = converter.convert(buffer);
    io->convertersMade.store(converter.contextsMade());
    if (result.status == CaptionAudioConverter::Status::noConverter) {
      events_.raiseLog("[captions] no converter " + buffer.format().description() + " \u2192 " +
                       format.description());
      continue;
    }
    // A buffer that cannot be converted, or converts to nothing, is dropped without a trace.
    if (result.status != CaptionAudioConverter::Status::converted || !result.buffer ||
        result.buffer->frameLength() == 0) {
      continue;
    }
    const PcmBuffer& converted = *result.buffer;
    noteFedBuffer(serial, CaptionAudioLevel::rmsDb(converted));
    noteReadings(serial, converted);
    recognize([&] { return analyzer->analyze(converted); });
  }
  if (stop.stop_requested()) return;
  // The input is finished: what the recognizer still holds comes out now.
  if (streamFailed) return;
  std::vector<speech::SpeechResult> results;
  try {
    results = analyzer->finish();
  } catch (const std::exception& e) {
    events_.raiseLog(std::string("[captions] finalize failed: ") + e.what());
    return;
  }
  if (!stop.stop_requested()) emit(serial, results, sid, locale);
}

bool CaptionRuntimeImpl::isCurrent(uint64_t serial) {
  CaptionMutexLock lock(stateLock_);
  return busy_ && serial_ == serial;
}

void CaptionRuntimeImpl::noteFedBuffer(uint64_t serial, std::optional<double> levelDb) {
  const int64_t now = nowMs();
  CaptionMutexLock lock(stateLock_);
  if (!busy_ || serial_ != serial) return;
  buffersFed_ += 1;
  if (levelDb) levels_.note(*levelDb, now);
}

void CaptionRuntimeImpl::noteReadings(uint64_t serial, const PcmBuffer& buffer) {
  std::string sid;
  std::vector<CaptionLevelReading> readings;
  {
    CaptionMutexLock lock(stateLock_);
    if (!busy_ || serial_ != serial || !sessionId_) return;
    sid = *sessionId_;
    const double rate = buffer.format().sampleRate;
    if (!uiWindows_ || uiWindows_->sampleRate() != rate) {
      uiWindows_.emplace(rate, CaptionLevelReadings::perSecond, true);
    }
    readings = CaptionAudioLevel::readings(buffer, *uiWindows_);
  }
  for (const CaptionLevelReading& r : readings) events_.raiseUiLevel(sid, r);
}

void CaptionRuntimeImpl::emit(uint64_t serial, const std::vector<speech::SpeechResult>& results,
                              const std::string& sessionId, const std::string& locale) {
  for (const speech::SpeechResult& result : results) {
    const std::optional<int64_t> startMs = milliseconds(result.rangeStartSeconds);
    const std::optional<int64_t> endMs =
        milliseconds(result.rangeStartSeconds + result.rangeDurationSeconds);
    // A result without a usable time range cannot be placed on the session's timeline.
    if (!startMs || !endMs) continue;
    const int64_t now = nowMs();
    std::optional<CaptionEmission> emission;
    {
      CaptionMutexLock lock(stateLock_);
      // Results of a session that has stopped, or been replaced, are dropped.
      if (!busy_ || serial_ != serial) return;
      emission = sequencer_.admit(result.isFinal, *startMs, *endMs, result.text, now);
    }
    if (emission && emission->isFinal() && !result.words.empty()) {
      emission->words = emittedWords(result.words, *emission);
    }
    if (emission) events_.raiseSegment(sessionId, *emission, locale);
  }
}

void CaptionRuntimeImpl::resultsStreamFailed(uint64_t serial, const std::string& sessionId,
                                             const std::string& description) {
  {
    CaptionMutexLock lock(stateLock_);
    if (!busy_ || serial_ != serial) return;
    wireState_ = CaptionState::error;
  }
  events_.raiseState(CaptionState::error, sessionId,
                     "transcriber results stream failed: " + description, std::nullopt);
}

// ---- Watchdog -------------------------------------------------------------------------------

void CaptionRuntimeImpl::tickWatchdog() {
  const int64_t now = nowMs();
  std::string sid;
  std::optional<double> level;
  {
    CaptionMutexLock lock(stateLock_);
    if (!busy_ || !sessionId_) return;
    sid = *sessionId_;
    if (wireState_ != CaptionState::running && wireState_ != CaptionState::noAudio) return;
    if (levels_.lastDb) {
      level = now - levels_.lastAtMs <= CaptionLevelTracker::staleAfterMs
                  ? *levels_.lastDb
                  : CaptionLevelTracker::silentFloorDb;
    }
  }
  if (level) events_.raiseLevel(sid, *level);

  bool logUnreadable = false;
  std::optional<CaptionState> moved;
  double judged = CaptionLevelTracker::silentFloorDb;
  {
    CaptionMutexLock lock(stateLock_);
    if (!busy_ || !sessionId_ || *sessionId_ != sid) return;
    // The level event above went out without the lock; an error or a stop may have come since.
    if (wireState_ != CaptionState::running && wireState_ != CaptionState::noAudio) return;
    if (path_.silencesWatchdog()) return;
    if (!levels_.canJudgeSilence(buffersFed_)) {
      logUnreadable = !loggedUnmeasurableLevel_;
      loggedUnmeasurableLevel_ = true;
    } else {
      judged = levels_.level(now);
      switch (watchdog_.note(judged, now)) {
        case CaptionSilenceWatchdog::Transition::none:
          break;
        case CaptionSilenceWatchdog::Transition::toNoAudio:
          moved = wireState_ = CaptionState::noAudio;
          break;
        case CaptionSilenceWatchdog::Transition::toRunning:
          moved = wireState_ = CaptionState::running;
          break;
      }
    }
  }
  if (logUnreadable) {
    events_.raiseLog(
        "[captions] input level is unreadable in this analyzer format \u2014 the silence watchdog "
        "is standing down for this session");
  }
  if (moved) {
    events_.raiseState(
        *moved, sid,
        *moved == CaptionState::running ? std::string("speech resumed") : noAudioReason(), judged);
  }
}

void CaptionRuntimeImpl::notePath(const CaptionAudioPathEvent& event,
                                  const std::string& sessionId) {
  const int64_t now = nowMs();
  std::optional<CaptionAudioPathMachine::Emit> emit;
  {
    CaptionMutexLock lock(stateLock_);
    if (!busy_ || !sessionId_ || *sessionId_ != sessionId) return;
    if (wireState_ == CaptionState::starting) {
      pendingPath_.push_back(event);  // applied once the session runs
      return;
    }
    emit = path_.apply(event, wireState_);
    if (!emit) return;
    wireState_ = emit->state;
    if (std::holds_alternative<CaptionAudioPathEvent::Resumed>(event.value())) {
      watchdog_ = CaptionSilenceWatchdog(now);
    }
  }
  events_.raiseState(emit->state, sessionId, emit->reason, std::nullopt);
  // Audio stops here for now: what was heard so far is settled as a final.
  if (std::holds_alternative<CaptionAudioPathEvent::Held>(event.value())) {
    if (std::shared_ptr<CaptionSessionIo> io = currentIo(); io && io->sessionId == sessionId) {
      std::shared_ptr<CaptionAudioQueue> queue;
      {
        CaptionMutexLock lock(io->lock);
        queue = io->queue;
      }
      if (queue) queue->pushBreak();
    }
  }
}

}  // namespace quorvel
