// Audio ingest and conversion, the results loop, the watchdog tick, and the level and path notes.
#include <cmath>

#include "caption_engine/levels/caption_audio_level.h"
#include "caption_engine/runtime/caption_results_task.h"
#include "caption_engine/runtime/caption_runtime_impl.h"

namespace quorvel {

namespace {

// Milliseconds of a time in seconds, halves away from zero; nothing when not representable.
std::optional<int64_t> milliseconds(double seconds) {
  const double ms = seconds * 1000.0;
  if (!std::isfinite(ms) || std::fabs(ms) >= 9.0e18) return std::nullopt;
  return static_cast<int64_t>(std::llround(ms));
}

std::string noAudioReason() {
  return "no speech above " +
         std::to_string(static_cast<int64_t>(CaptionSilenceWatchdog::thresholdDb)) +
         " dBFS for " + std::to_string(CaptionSilenceWatchdog::holdMs / 1000) + "s";
}

}  // namespace

// ---- Ingest ---------------------------------------------------------------------------------

void CaptionRuntimeImpl::ingest(const PcmBuffer& buffer) {
  std::shared_ptr<speech::AnalyzerInputStream> stream;
  std::optional<PcmBuffer> converted;
  std::string noConverterLine;
  {
    CaptionMutexLock lock(ioLock_);
    if (!analyzerFormat_ || !continuation_) return;  // no session is accepting audio
    stream = continuation_;
    if (!converter_) converter_ = std::make_unique<CaptionAudioConverter>(*analyzerFormat_);
    CaptionAudioConverter::Result result = converter_->convert(buffer);
    switch (result.status) {
      case CaptionAudioConverter::Status::converted:
        converted = std::move(result.buffer);
        break;
      case CaptionAudioConverter::Status::noConverter:
        noConverterLine = "[captions] no converter " + buffer.format().description() +
                          " \u2192 " + analyzerFormat_->description();
        break;
      case CaptionAudioConverter::Status::noOutputBuffer:
      case CaptionAudioConverter::Status::conversionError:
        return;  // dropped without a trace
    }
  }
  if (!noConverterLine.empty()) {
    events_.raiseLog(noConverterLine);
    return;
  }
  if (!converted || converted->frameLength() == 0) return;
  noteFedBuffer(CaptionAudioLevel::rmsDb(*converted));
  noteReadings(*converted);
  stream->yield(std::move(*converted));
}

void CaptionRuntimeImpl::noteFedBuffer(std::optional<double> levelDb) {
  const int64_t now = nowMs();
  CaptionMutexLock lock(stateLock_);
  buffersFed_ += 1;
  if (levelDb) levels_.note(*levelDb, now);
}

void CaptionRuntimeImpl::noteReadings(const PcmBuffer& buffer) {
  std::string sid;
  std::vector<CaptionLevelReading> readings;
  {
    CaptionMutexLock lock(stateLock_);
    if (!busy_ || !sessionId_) return;
    sid = *sessionId_;
    const double rate = buffer.format().sampleRate;
    if (!uiWindows_ || uiWindows_->sampleRate() != rate) {
      uiWindows_.emplace(rate, CaptionLevelReadings::perSecond, true);
    }
    readings = CaptionAudioLevel::readings(buffer, *uiWindows_);
  }
  for (const CaptionLevelReading& r : readings) events_.raiseUiLevel(sid, r);
}

// ---- Results --------------------------------------------------------------------------------

void CaptionRuntimeImpl::startResultsLoop(std::shared_ptr<speech::SpeechTranscriber> transcriber,
                                          const std::string& sessionId,
                                          const std::string& locale) {
  auto task = std::make_shared<CaptionResultsTask>(
      [transcriber = std::move(transcriber), weak = weak_from_this(), sessionId, locale,
       events = events_](std::stop_token stop) {
        for (;;) {
          std::optional<speech::SpeechResult> result;
          std::optional<std::string> error;
          try {
            result = transcriber->nextResult(stop);
          } catch (const std::exception& e) {
            error = e.what();
          } catch (...) {
            error = "unknown error";
          }
          if (error) {
            events.raiseLog("[captions] results stream error: " + *error);
            // A cancelled loop belongs to a start that failed: its error changes nothing.
            if (stop.stop_requested()) return;
            if (auto self = weak.lock()) self->resultsStreamFailed(sessionId, *error);
            return;
          }
          if (!result) return;                // the stream ended
          if (stop.stop_requested()) return;  // cancelled: what is left is dropped
          auto self = weak.lock();
          if (!self) return;
          self->emit(*result, sessionId, locale);
        }
      });
  std::shared_ptr<CaptionResultsTask> previous;
  {
    CaptionMutexLock lock(ioLock_);
    previous = std::exchange(resultsTask_, task);
  }
}

void CaptionRuntimeImpl::emit(const speech::SpeechResult& result, const std::string& sessionId,
                              const std::string& locale) {
  const std::optional<int64_t> startMs = milliseconds(result.rangeStartSeconds);
  const std::optional<int64_t> endMs =
      milliseconds(result.rangeStartSeconds + result.rangeDurationSeconds);
  // A result without a usable time range cannot be placed on the session's timeline.
  if (!startMs || !endMs) return;
  const int64_t now = nowMs();
  std::optional<CaptionEmission> emission;
  {
    CaptionMutexLock lock(stateLock_);
    emission = sequencer_.admit(result.isFinal, *startMs, *endMs, result.text, now);
  }
  if (emission) events_.raiseSegment(sessionId, *emission, locale);
}

void CaptionRuntimeImpl::resultsStreamFailed(const std::string& sessionId,
                                             const std::string& description) {
  {
    CaptionMutexLock lock(stateLock_);
    if (!busy_ || !sessionId_ || *sessionId_ != sessionId) return;
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
    events_.raiseState(*moved, sid,
                       *moved == CaptionState::running ? std::string("speech resumed")
                                                       : noAudioReason(),
                       judged);
  }
}

void CaptionRuntimeImpl::notePath(const CaptionAudioPathEvent& event,
                                  const std::string& sessionId) {
  const int64_t now = nowMs();
  std::optional<CaptionAudioPathMachine::Emit> emit;
  {
    CaptionMutexLock lock(stateLock_);
    if (!busy_ || !sessionId_ || *sessionId_ != sessionId) return;
    emit = path_.apply(event, wireState_);
    if (!emit) return;
    wireState_ = emit->state;
    if (std::holds_alternative<CaptionAudioPathEvent::Resumed>(event.value())) {
      watchdog_ = CaptionSilenceWatchdog(now);
    }
  }
  events_.raiseState(emit->state, sessionId, emit->reason, std::nullopt);
}

}  // namespace quorvel
