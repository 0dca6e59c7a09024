#include "caption_engine/audio/pulse_capture_producer.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <optional>
#include <variant>

#include "caption_engine/audio/caption_audio_error.h"
#include "caption_engine/audio/pulse_connection.h"

namespace quorvel {

namespace {

using namespace std::chrono_literals;
using Follower = CaptionInputFollower;

CaptionAudioError captureFailure(const std::string& message) { return CaptionAudioError(message); }

pa_sample_format_t pulseFormat(SampleType type) {
  switch (type) {
    case SampleType::int16:
      return PA_SAMPLE_S16LE;
    case SampleType::int32:
      return PA_SAMPLE_S32LE;
    case SampleType::float32:
      return PA_SAMPLE_FLOAT32LE;
    case SampleType::float64:
      return PA_SAMPLE_FLOAT32LE;  // the server has no float64
  }
  return PA_SAMPLE_FLOAT32LE;
}

pa_sample_spec sampleSpecOf(const PulseSource& source) {
  pa_sample_spec sampleSpec{};
  sampleSpec.format = pulseFormat(source.format.sampleType);
  sampleSpec.rate = static_cast<uint32_t>(source.format.sampleRate);
  sampleSpec.channels = static_cast<uint8_t>(source.format.channels);
  return sampleSpec;
}

constexpr auto kOpenTimeout = 5000ms;
constexpr std::chrono::milliseconds kReconnectFirst{100};
constexpr std::chrono::milliseconds kReconnectMax{2000};
// A server that accepts the connection but does not answer gets another attempt after this.
constexpr auto kAttemptTimeout = 5000ms;
// How many path events and lines from before start are kept.
constexpr size_t kMaxEarly = 64;

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void uncork(pa_stream* stream) {
  if (pa_operation* op = pulse().pa_stream_cork(stream, 0, nullptr, nullptr))
    pulse().pa_operation_unref(op);
}

// The state callback of a stream closed before it was ready: it is disconnected once ready, and
// released once ended (or when its context goes).
void closeWhenSettled(pa_stream* stream, void*) {
  switch (pulse().pa_stream_get_state(stream)) {
    case PA_STREAM_READY:
      pulse().pa_stream_disconnect(stream);
      break;
    case PA_STREAM_FAILED:
    case PA_STREAM_TERMINATED:
      pulse().pa_stream_set_state_callback(stream, nullptr, nullptr);
      pulse().pa_stream_unref(stream);
      break;
    default:
      break;
  }
}

}  // namespace

// Everything the loop thread works with. Every field is guarded by the loop lock; every entry
// from the loop holds a reference, so the producer may be released inside a callback.
class PulseCaptureProducer::Capture : public std::enable_shared_from_this<Capture> {
 public:
  struct Callbacks {
    OnBuffer onBuffer;
    OnPath onPath;
    Log log;
  };
  enum class Opening { ok, noStream, refused };

  Capture(std::unique_ptr<PulseConnection> connection, Follower::Mode mode,
          const PulseSource& source)
      : connection_(std::move(connection)),
        follower_(mode, Follower::Input{source.name, source.description, source.running}),
        sources_{source},
        reconnectTimer_(*connection_, [this] { enter(this, [this] { attemptReconnect(); }); }),
        refreshTimer_(*connection_, [this] { enter(this, [this] { refresh(0); }); }),
        stallTimer_(*connection_,
                    [this] { enter(this, [this] { apply(follower_.tick(nowMs())); }); }),
        flushTimer_(*connection_, [this] { enter(this, [this] { flushEarly(); }); }) {}

  ~Capture() {
    const bool onLoop = connection_->inLoopThread();
    {
      PulseConnection::Lock lock(*connection_);
      stopLocked();
    }
    if (!onLoop) connection_->stopLoop();
    // The timers go next, then the connection (declared first).
  }

  PulseConnection& connection() { return *connection_; }

  // With the loop lock held, not on the loop thread: opens the first stream and waits for it.
  Opening openFirstLocked(const PulseSource& source, PulseConnection::Clock::time_point deadline) {
    connection_->setStateHandlerLocked([this](pa_context_state_t state) {
      enter(this, [this, state] { contextStateChanged(state); });
    });
    ready_ = true;
    if (const Opening begun = openStream(source); begun != Opening::ok) return begun;
    connection_->waitLocked([&] { return follower_.isOpen() || !follower_.current(); }, deadline);
    if (!follower_.isOpen()) return Opening::refused;
    subscribe();
    refresh(0);
    return Opening::ok;
  }

  // With the loop lock held.
  void startLocked(std::shared_ptr<const Callbacks> callbacks) {
    if (stopped_) return;
    callbacks_ = std::move(callbacks);
    if (!started_) {
      started_ = true;
      follower_.started(nowMs());
      if (stream_ && pulse().pa_stream_get_state(stream_) == PA_STREAM_READY) uncork(stream_);
    }
    if (!early_.empty()) flushTimer_.armLocked(0ms);
    armStallTimer();
  }

  // With the loop lock held. On the loop thread the context stays until the capture is released
  // (it is not closed from inside one of its callbacks); elsewhere it is closed now.
  void stopLocked() {
    if (!stopped_) {
      stopped_ = true;
      callbacks_.reset();
      early_.clear();
      reconnectTimer_.cancelLocked();
      refreshTimer_.cancelLocked();
      stallTimer_.cancelLocked();
      flushTimer_.cancelLocked();
      closeStream();
      cancelRefresh();
      if (pa_context* context = connection_->context()) {
        pulse().pa_context_set_subscribe_callback(context, nullptr, nullptr);
      }
      connection_->setStateHandlerLocked(nullptr);
      ready_ = false;
    }
    if (!connection_->inLoopThread()) connection_->disconnectLocked();
  }

 private:
  using Early = std::variant<CaptionAudioPathEvent, std::string>;

  // Every entry from the loop: holds a reference for its length, and does nothing once stopped.
  template <class F>
  static void enter(Capture* capture, F&& f) {
    const std::shared_ptr<Capture> self = capture->weak_from_this().lock();
    if (!self || self->stopped_) return;
    f();
  }

  // ---- carrying out what the follower says

  void apply(const Follower::Actions& actions) {
    for (const Follower::Action& action : actions) {
      if (stopped_) return;
      if (const auto* open = std::get_if<Follower::Open>(&action)) {
        openOn(open->name);
      } else if (std::holds_alternative<Follower::Close>(action)) {
        closeStream();
      } else if (const auto* refreshing = std::get_if<Follower::Refresh>(&action)) {
        refresh(refreshing->delayMs);
      } else if (const auto* raise = std::get_if<Follower::Raise>(&action)) {
        deliver(Early{raise->event});
      } else if (const auto* line = std::get_if<Follower::Log>(&action)) {
        deliver(Early{line->line});
      }
    }
    armStallTimer();
  }

  void openOn(const std::string& name) {
    closeStream();
    const auto source = std::find_if(sources_.begin(), sources_.end(),
                                     [&](const PulseSource& s) { return s.name == name; });
    if (source == sources_.end() || openStream(*source) != Opening::ok) {
      apply(follower_.lost(nowMs()));
    }
  }

  // Starts opening a record stream on the source (ok: begun); its state callback reports how it
  // went.
  Opening openStream(const PulseSource& source) {
    pa_context* context = connection_->context();
    const pa_sample_spec sampleSpec = sampleSpecOf(source);
    if (!ready_ || !context || !pulse().pa_sample_spec_valid(&sampleSpec)) return Opening::noStream;
    pa_stream* stream = pulse().pa_stream_new(context, "Captions", &sampleSpec, nullptr);
    if (!stream) return Opening::noStream;
    pulse().pa_stream_set_state_callback(stream, onStreamState, this);
    pulse().pa_stream_set_read_callback(stream, onRead, this);

    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = attr.prebuf = attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(
        pulse().pa_usec_to_bytes(kFragmentMs * PA_USEC_PER_MSEC, &sampleSpec));
    auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY);
    if (!started_) flags = static_cast<pa_stream_flags_t>(flags | PA_STREAM_START_CORKED);
    stream_ = stream;
    format_ = AudioFormat{source.nativeFormat ? source.format.sampleType : SampleType::float32,
                          static_cast<double>(sampleSpec.rate), sampleSpec.channels, true};
    frameBytes_ = pulse().pa_frame_size(&sampleSpec);
    if (pulse().pa_stream_connect_record(stream, source.name.c_str(), &attr, flags) < 0) {
      closeStream();
      return Opening::refused;
    }
    return Opening::ok;
  }

  void closeStream() {
    pa_stream* stream = std::exchange(stream_, nullptr);
    if (!stream) return;
    pulse().pa_stream_set_read_callback(stream, nullptr, nullptr);
    if (pulse().pa_stream_get_state(stream) == PA_STREAM_CREATING) {
      // It cannot be disconnected before the server has answered: that is done once it has.
      pulse().pa_stream_set_state_callback(stream, closeWhenSettled, nullptr);
      return;
    }
    pulse().pa_stream_set_state_callback(stream, nullptr, nullptr);
    if (pulse().pa_stream_get_state(stream) == PA_STREAM_READY)
      pulse().pa_stream_disconnect(stream);
    pulse().pa_stream_unref(stream);
  }

  static void onStreamState(pa_stream* stream, void* userdata) {
    auto* capture = static_cast<Capture*>(userdata);
    capture->connection_->signal();  // the constructor may be waiting
    enter(capture, [capture, stream] {
      if (stream != capture->stream_) return;
      switch (pulse().pa_stream_get_state(stream)) {
        case PA_STREAM_READY:
          if (capture->started_) uncork(stream);
          capture->apply(capture->follower_.opened(nowMs()));
          break;
        case PA_STREAM_FAILED:
        case PA_STREAM_TERMINATED:
          capture->apply(capture->follower_.lost(nowMs()));
          break;
        default:
          break;
      }
      capture->connection_->signal();
    });
  }

  // Copies every readable fragment into a buffer of its own and delivers it.
  static void onRead(pa_stream* stream, size_t, void* userdata) {
    auto* capture = static_cast<Capture*>(userdata);
    enter(capture, [capture, stream] {
      while (!capture->stopped_ && stream == capture->stream_ &&
             pulse().pa_stream_readable_size(stream) > 0) {
        const void* data = nullptr;
        size_t bytes = 0;
        if (pulse().pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
        const size_t frameBytes = capture->frameBytes_;
        const size_t frames = frameBytes ? bytes / frameBytes : 0;
        // A hole in the stream (no data) and fragments shorter than a frame are dropped.
        std::optional<PcmBuffer> buffer;
        if (data && frames > 0 && frames <= UINT32_MAX) {
          buffer.emplace(capture->format_, static_cast<uint32_t>(frames));
          buffer->setFrameLength(static_cast<uint32_t>(frames));
          std::memcpy(buffer->planeData(0), data, frames * frameBytes);
        }
        pulse().pa_stream_drop(stream);
        if (!buffer) continue;
        capture->apply(capture->follower_.buffer(nowMs()));
        capture->deliverBuffer(*buffer);
      }
    });
  }

  // ---- the connection

  void contextStateChanged(pa_context_state_t state) {
    if (state == PA_CONTEXT_READY) {
      connectionReady();
      return;
    }
    if (PA_CONTEXT_IS_GOOD(state)) return;
    const bool wasReady = ready_;
    ready_ = false;
    cancelRefresh();
    refreshTimer_.cancelLocked();
    stallTimer_.cancelLocked();
    if (wasReady) {
      apply(follower_.serverLost(nowMs()));
      deliver(Early{std::string("[captions] the sound server went away; reconnecting")});
      serverLost_ = true;
      backoff_ = kReconnectFirst;
    }
    retryLater();
  }

  void connectionReady() {
    attemptEnded_ = true;
    reconnectTimer_.cancelLocked();
    ready_ = true;
    backoff_ = kReconnectFirst;
    if (serverLost_) {
      serverLost_ = false;
      deliver(Early{std::string("[captions] reconnected to the sound server")});
    }
    subscribe();
    refresh(0);
  }

  void retryLater() {
    attemptEnded_ = true;
    if (stopped_) return;
    reconnectTimer_.armLocked(backoff_);
    backoff_ = std::min(backoff_ * 2, kReconnectMax);
  }

  void attemptReconnect() {
    attemptEnded_ = false;
    const bool begun = connection_->reconnectLocked();
    if (attemptEnded_) return;  // the state handler has already settled this attempt
    if (!begun) {
      retryLater();
    } else {
      reconnectTimer_.armLocked(kAttemptTimeout);
    }
  }

  void subscribe() {
    pa_context* context = connection_->context();
    if (!context) return;
    pulse().pa_context_set_subscribe_callback(context, onSubscribe, this);
    const auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SOURCE |
                                                          PA_SUBSCRIPTION_MASK_SERVER);
    if (pa_operation* op = pulse().pa_context_subscribe(context, mask, nullptr, nullptr)) {
      pulse().pa_operation_unref(op);
    }
  }

  static void onSubscribe(pa_context*, pa_subscription_event_type_t type, uint32_t,
                          void* userdata) {
    auto* capture = static_cast<Capture*>(userdata);
    const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    if (facility != PA_SUBSCRIPTION_EVENT_SOURCE && facility != PA_SUBSCRIPTION_EVENT_SERVER)
      return;
    enter(capture, [capture] { capture->refresh(0); });
  }

  // ---- listings: the server's default source, then its sources

  void refresh(int64_t delayMs) {
    if (!ready_ || stopped_) return;
    if (delayMs > 0) {
      if (!refreshTimer_.armed()) refreshTimer_.armLocked(std::chrono::milliseconds(delayMs));
      return;
    }
    refreshTimer_.cancelLocked();
    if (refreshOp_) {
      refreshAgain_ = true;
      return;
    }
    listingDefault_.clear();
    listingSources_.clear();
    refreshOp_ = pulse().pa_context_get_server_info(connection_->context(), onServerInfo, this);
  }

  void cancelRefresh() {
    if (refreshOp_) {
      pulse().pa_operation_cancel(refreshOp_);
      pulse().pa_operation_unref(refreshOp_);
      refreshOp_ = nullptr;
    }
    refreshAgain_ = false;
  }

  static void onServerInfo(pa_context* context, const pa_server_info* info, void* userdata) {
    auto* capture = static_cast<Capture*>(userdata);
    enter(capture, [capture, context, info] {
      pulse().pa_operation_unref(std::exchange(capture->refreshOp_, nullptr));
      if (!info) {
        capture->endRefresh(false);
        return;
      }
      capture->listingDefault_ = info->default_source_name ? info->default_source_name : "";
      capture->refreshOp_ = pulse().pa_context_get_source_info_list(context, onSourceInfo, capture);
      if (!capture->refreshOp_) capture->endRefresh(false);
    });
  }

  static void onSourceInfo(pa_context*, const pa_source_info* info, int eol, void* userdata) {
    auto* capture = static_cast<Capture*>(userdata);
    enter(capture, [capture, info, eol] {
      if (eol == 0) {
        if (info) {
          if (std::optional<PulseSource> s = pulseSourceOf(*info)) {
            capture->listingSources_.push_back(std::move(*s));
          }
        }
        return;
      }
      pulse().pa_operation_unref(std::exchange(capture->refreshOp_, nullptr));
      capture->endRefresh(eol > 0);
    });
  }

  void endRefresh(bool complete) {
    if (complete) {
      orderPulseSources(listingSources_);
      sources_ = std::move(listingSources_);
      listingSources_.clear();
      Follower::Listing listing{listingDefault_, {}};
      for (const PulseSource& s : sources_)
        listing.inputs.push_back({s.name, s.description, s.running});
      apply(follower_.listed(listing, nowMs()));
    }
    if (refreshAgain_ && !stopped_) {
      refreshAgain_ = false;
      refresh(0);
    }
  }

  void armStallTimer() {
    if (stopped_ || stallTimer_.armed()) return;
    if (const std::optional<int64_t> due = follower_.nextCheckMs()) {
      stallTimer_.armLocked(std::chrono::milliseconds(std::max<int64_t>(0, *due - nowMs())));
    }
  }

  // ---- delivery

  void deliver(Early item) {
    if (stopped_) return;
    if (!callbacks_) {
      if (early_.size() >= kMaxEarly) early_.pop_front();
      early_.push_back(std::move(item));
      return;
    }
    flushEarly();
    call(item);
  }

  void deliverBuffer(const PcmBuffer& buffer) {
    if (stopped_ || !callbacks_) return;
    flushEarly();
    if (const std::shared_ptr<const Callbacks> callbacks = callbacks_; callbacks && !stopped_) {
      if (callbacks->onBuffer) callbacks->onBuffer(buffer);
    }
  }

  void flushEarly() {
    while (!stopped_ && callbacks_ && !early_.empty()) {
      const Early item = std::move(early_.front());
      early_.pop_front();
      call(item);
    }
  }

  void call(const Early& item) {
    // A copy: the callback may stop the producer, which drops the callbacks.
    const std::shared_ptr<const Callbacks> callbacks = callbacks_;
    if (!callbacks || stopped_) return;
    if (const auto* event = std::get_if<CaptionAudioPathEvent>(&item)) {
      if (callbacks->onPath) callbacks->onPath(*event);
    } else if (callbacks->log) {
      callbacks->log(std::get<std::string>(item));
    }
  }

  std::unique_ptr<PulseConnection> connection_;
  Follower follower_;
  std::vector<PulseSource> sources_;  // the latest listing, in fallback order
  pa_stream* stream_ = nullptr;       // the stream on the follower's current input
  AudioFormat format_;                // what stream_ delivers
  size_t frameBytes_ = 0;

  std::shared_ptr<const Callbacks> callbacks_;  // from start until stop
  std::deque<Early> early_;                     // what came before start
  bool started_ = false;
  bool stopped_ = false;

  bool ready_ = false;       // the current context is connected
  bool serverLost_ = false;  // a connected server went away and has not been reached again
  bool attemptEnded_ = true;
  std::chrono::milliseconds backoff_ = kReconnectFirst;

  pa_operation* refreshOp_ = nullptr;  // the step of the listing in flight
  bool refreshAgain_ = false;          // something changed while it was in flight
  std::string listingDefault_;
  std::vector<PulseSource> listingSources_;

  PulseConnection::Timer reconnectTimer_;
  PulseConnection::Timer refreshTimer_;
  PulseConnection::Timer stallTimer_;
  PulseConnection::Timer flushTimer_;
};

PulseCaptureProducer::PulseCaptureProducer(const PulseSource& source,
                                           CaptionInputFollower::Mode mode)
    : name_(source.description), capture_([&] {
        const auto deadline = PulseConnection::Clock::now() + kOpenTimeout;
        std::string error;
        std::unique_ptr<PulseConnection> connection = PulseConnection::connect(kOpenTimeout, error);
        if (!connection) {
          throw captureFailure("cannot open audio input " + source.description + ": " + error);
        }
        const pa_sample_spec sampleSpec = sampleSpecOf(source);
        if (!pulse().pa_sample_spec_valid(&sampleSpec)) {
          throw captureFailure("audio input " + source.description +
                               " refused an audio data output");
        }
        auto capture = std::make_shared<Capture>(std::move(connection), mode, source);
        Capture::Opening opening;
        {
          PulseConnection::Lock lock(capture->connection());
          opening = capture->openFirstLocked(source, deadline);
        }
        if (opening == Capture::Opening::noStream) {
          throw captureFailure("audio input " + source.description +
                               " refused an audio data output");
        }
        if (opening != Capture::Opening::ok) {
          throw captureFailure("audio input " + source.description +
                               " refused the caption session");
        }
        return capture;
      }()) {}

PulseCaptureProducer::~PulseCaptureProducer() { stop(); }

void PulseCaptureProducer::start(OnBuffer onBuffer, OnPath onPath, Log log) {
  // Before the callbacks are in place: nothing else can be delivered while this line is.
  if (log) log("[captions] capturing audio from " + name_);
  auto callbacks = std::make_shared<const Capture::Callbacks>(
      Capture::Callbacks{std::move(onBuffer), std::move(onPath), std::move(log)});
  PulseConnection::Lock lock(capture_->connection());
  capture_->startLocked(std::move(callbacks));
}

void PulseCaptureProducer::stop() {
  {
    PulseConnection::Lock lock(capture_->connection());
    capture_->stopLocked();
  }
  capture_->connection().stopLoop();  // nothing on the loop thread itself
}

}  // namespace quorvel
