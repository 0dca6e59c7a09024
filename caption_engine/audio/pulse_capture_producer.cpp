#include "caption_engine/audio/pulse_capture_producer.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <variant>

#include "caption_engine/audio/pulse_connection.h"
#include "caption_engine/runtime/caption_runtime_failure.h"

namespace quorvel {

namespace {

CaptionRuntimeFailure captureFailure(const std::string& message) {
  return CaptionRuntimeFailure(CaptionRuntimeErrorCode::captionsAudioUnavailable, message,
                               std::nullopt, CaptionState::error, false);
}

pa_sample_format_t pulseFormat(SampleType type) {
  switch (type) {
    case SampleType::int16: return PA_SAMPLE_S16LE;
    case SampleType::int32: return PA_SAMPLE_S32LE;
    case SampleType::float32: return PA_SAMPLE_FLOAT32LE;
    case SampleType::float64: return PA_SAMPLE_FLOAT32LE;  // the server has no float64
  }
  return PA_SAMPLE_FLOAT32LE;
}

// How many buffers may wait for a slow receiver (about ten seconds at 20 ms each) before the
// oldest are dropped, so that a stalled receiver cannot grow the queue without bound.
constexpr size_t kMaxQueued = 500;

constexpr auto kOpenTimeout = std::chrono::milliseconds(5000);

}  // namespace

// What the server's loop thread hands to the delivery thread: audio, or a line to log.
struct PulseCaptureProducer::Delivery {
  using Item = std::variant<std::monostate, PcmBuffer, std::string>;

  std::string name;
  AudioFormat format;
  size_t frameBytes = 0;
  PulseConnection* connection = nullptr;

  std::mutex lock;  // guards the fields below; never held while calling out
  std::condition_variable_any wake;
  std::deque<Item> queue;
  OnBuffer onBuffer;
  Log log;
  bool accepting = true;  // false once stopped: nothing more is queued

  void push(Item item) {
    {
      std::lock_guard guard(lock);
      if (!accepting) return;
      if (queue.size() >= kMaxQueued) queue.pop_front();
      queue.push_back(std::move(item));
    }
    wake.notify_one();
  }

  // The delivery thread: one item at a time, callbacks copied under the lock and called after.
  void run(std::stop_token stop) {
    while (true) {
      Item item;
      OnBuffer onBufferNow;
      Log logNow;
      {
        std::unique_lock guard(lock);
        if (!wake.wait(guard, stop, [&] { return !queue.empty(); })) return;
        item = std::move(queue.front());
        queue.pop_front();
        onBufferNow = onBuffer;
        logNow = log;
      }
      if (auto* buffer = std::get_if<PcmBuffer>(&item)) {
        if (onBufferNow) onBufferNow(*buffer);
      } else if (auto* line = std::get_if<std::string>(&item); line && logNow) {
        logNow(*line);
      }
    }
  }

  // On the loop thread: copies every readable fragment into a buffer of its own.
  static void onRead(pa_stream* stream, size_t, void* userdata) {
    auto* d = static_cast<Delivery*>(userdata);
    while (pa_stream_readable_size(stream) > 0) {
      const void* data = nullptr;
      size_t bytes = 0;
      if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
      const size_t frames = d->frameBytes ? bytes / d->frameBytes : 0;
      // A hole in the stream (no data) and fragments shorter than a frame are dropped.
      if (data && frames > 0 && frames <= UINT32_MAX) {
        PcmBuffer buffer(d->format, static_cast<uint32_t>(frames));
        buffer.setFrameLength(static_cast<uint32_t>(frames));
        std::memcpy(buffer.planeData(0), data, frames * d->frameBytes);
        d->push(std::move(buffer));
      }
      pa_stream_drop(stream);
    }
  }

  static void onState(pa_stream* stream, void* userdata) {
    auto* d = static_cast<Delivery*>(userdata);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
      d->push("[captions] audio input " + d->name + " is gone; capture ended");
    }
    d->connection->signal();
  }
};

PulseCaptureProducer::PulseCaptureProducer(const PulseSource& source)
    : name_(source.description), delivery_(std::make_shared<Delivery>()) {
  const auto deadline = PulseConnection::Clock::now() + kOpenTimeout;
  std::string error;
  std::shared_ptr<PulseConnection> connection = PulseConnection::connect(kOpenTimeout, error);
  if (!connection) throw captureFailure("cannot open audio input " + name_ + ": " + error);

  pa_sample_spec sampleSpec{};
  sampleSpec.format = pulseFormat(source.format.sampleType);
  sampleSpec.rate = static_cast<uint32_t>(source.format.sampleRate);
  sampleSpec.channels = static_cast<uint8_t>(source.format.channels);
  if (!pa_sample_spec_valid(&sampleSpec)) {
    throw captureFailure("audio input " + name_ + " refused an audio data output");
  }
  Delivery& d = *delivery_;
  d.name = name_;
  d.format = AudioFormat{source.nativeFormat ? source.format.sampleType : SampleType::float32,
                         static_cast<double>(sampleSpec.rate), sampleSpec.channels, true};
  d.frameBytes = pa_frame_size(&sampleSpec);
  d.connection = connection.get();

  PulseConnection::Lock lock(*connection);
  pa_stream* stream = pa_stream_new(connection->context(), "Captions", &sampleSpec, nullptr);
  if (!stream) {
    throw captureFailure("audio input " + name_ + " refused an audio data output");
  }
  pa_stream_set_state_callback(stream, Delivery::onState, &d);
  pa_stream_set_read_callback(stream, Delivery::onRead, &d);

  pa_buffer_attr attr{};
  attr.maxlength = static_cast<uint32_t>(-1);
  attr.tlength = attr.prebuf = attr.minreq = static_cast<uint32_t>(-1);
  attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(kFragmentMs * PA_USEC_PER_MSEC, &sampleSpec));
  const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY |
                                                    PA_STREAM_START_CORKED);
  bool ready = pa_stream_connect_record(stream, source.name.c_str(), &attr, flags) == 0;
  if (ready) {
    connection->waitLocked(
        [&] { return pa_stream_get_state(stream) != PA_STREAM_CREATING; }, deadline);
    ready = pa_stream_get_state(stream) == PA_STREAM_READY;
  }
  if (!ready) {
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
    throw captureFailure("audio input " + name_ + " refused the caption session");
  }
  connection_ = std::move(connection);
  stream_ = stream;
}

PulseCaptureProducer::~PulseCaptureProducer() {
  stop();
  std::jthread thread;
  {
    std::lock_guard guard(lock_);
    thread = std::move(thread_);
  }
  // Released on the delivery thread itself (from inside onBuffer): it holds what it needs.
  if (thread.joinable() && thread.get_id() == std::this_thread::get_id()) thread.detach();
}

void PulseCaptureProducer::start(OnBuffer onBuffer, OnPath, Log log) {
  std::shared_ptr<PulseConnection> connection;
  pa_stream* stream = nullptr;
  {
    std::lock_guard deliveryGuard(delivery_->lock);
    delivery_->onBuffer = std::move(onBuffer);
    delivery_->log = log;
  }
  {
    std::lock_guard guard(lock_);
    connection = connection_;
    if (connection_ && stream_) {
      stream = pa_stream_ref(stream_);
      if (!thread_.joinable()) {
        thread_ = std::jthread([d = delivery_](std::stop_token stop) { d->run(stop); });
      }
    }
  }
  // A stopped producer starts nothing.
  if (stream) {
    PulseConnection::Lock loopLock(*connection);
    if (pa_operation* op = pa_stream_cork(stream, 0, nullptr, nullptr)) pa_operation_unref(op);
    pa_stream_unref(stream);
  }
  if (log) log("[captions] capturing audio from " + name_);
}

void PulseCaptureProducer::stop() {
  std::shared_ptr<PulseConnection> connection;
  pa_stream* stream = nullptr;
  std::jthread thread;
  {
    std::lock_guard guard(lock_);
    connection = std::move(connection_);
    stream = std::exchange(stream_, nullptr);
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
      thread = std::move(thread_);
    } else if (thread_.joinable()) {
      thread_.request_stop();  // stop called from inside onBuffer: the thread ends after it
    }
  }
  {
    std::lock_guard deliveryGuard(delivery_->lock);
    delivery_->accepting = false;
    delivery_->queue.clear();
    delivery_->onBuffer = nullptr;
    delivery_->log = nullptr;
  }
  if (stream) {
    PulseConnection::Lock loopLock(*connection);
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
  }
  connection.reset();  // disconnects and ends the loop thread
  if (thread.joinable()) {
    thread.request_stop();
    thread.join();
  }
}

}  // namespace quorvel
