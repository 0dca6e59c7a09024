#include "caption_engine/audio/pulse_connection.h"

#include <algorithm>
#include <thread>

namespace quorvel {

namespace {

struct WaitTimer {
  PulseConnection* connection;
  bool fired = false;
};

timeval wallClockIn(std::chrono::microseconds delay) {
  timeval when{};
  pulse().pa_gettimeofday(&when);
  pulse().pa_timeval_add(&when, static_cast<pa_usec_t>(std::max<int64_t>(0, delay.count())));
  return when;
}

}  // namespace

void PulseConnection::contextStateChanged(pa_context* context, void* userdata) {
  auto* c = static_cast<PulseConnection*>(userdata);
  c->signal();
  if (context != c->context_ || !c->stateHandler_) return;
  // A copy: the handler may replace itself.
  const std::function<void(pa_context_state_t)> handler = c->stateHandler_;
  handler(pulse().pa_context_get_state(context));
}

bool PulseConnection::beginLocked(const char* server) {
  pa_proplist* props = pulse().pa_proplist_new();
  pulse().pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Quorvel Captions");
  pulse().pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "production");
  context_ = pulse().pa_context_new_with_proplist(pulse().pa_threaded_mainloop_get_api(loop_),
                                                  "Quorvel Captions", props);
  pulse().pa_proplist_free(props);
  if (!context_) return false;
  pulse().pa_context_set_state_callback(context_, contextStateChanged, this);
  // Never start a server of our own: no server means no inputs.
  return pulse().pa_context_connect(context_, server, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0;
}

std::unique_ptr<PulseConnection> PulseConnection::connect(std::chrono::milliseconds timeout,
                                                          std::string& error) {
  const auto deadline = Clock::now() + timeout;
  std::string missing;
  if (!loadPulse(&missing)) {
    error = "cannot load the sound server's client library: " + missing;
    return nullptr;
  }
  std::unique_ptr<PulseConnection> c(new PulseConnection);
  c->loop_ = pulse().pa_threaded_mainloop_new();
  if (!c->loop_) {
    error = "cannot create the sound server's main loop";
    return nullptr;
  }
  if (!c->beginLocked(nullptr)) {
    error = c->context_ ? pulse().pa_strerror(pulse().pa_context_errno(c->context_))
                        : "cannot create a sound server context";
    return nullptr;
  }
  if (pulse().pa_threaded_mainloop_start(c->loop_) < 0) {
    error = "cannot start the sound server's main loop";
    return nullptr;
  }
  c->started_ = true;

  auto settled = [&] {
    const pa_context_state_t s = pulse().pa_context_get_state(c->context_);
    return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
  };
  {
    Lock lock(*c);
    c->waitLocked(settled, deadline);
    const pa_context_state_t state = pulse().pa_context_get_state(c->context_);
    if (state == PA_CONTEXT_READY) {
      if (const char* server = pulse().pa_context_get_server(c->context_)) c->server_ = server;
      return c;
    }
    error = PA_CONTEXT_IS_GOOD(state)
                ? std::string("the sound server did not answer in time")
                : std::string(pulse().pa_strerror(pulse().pa_context_errno(c->context_)));
  }
  return nullptr;
}

PulseConnection::~PulseConnection() {
  if (!loop_) return;
  if (started_ && inLoopThread()) {
    // The loop cannot end itself from inside one of its callbacks, and a context is better not
    // closed inside one: another thread does both once this callback has returned.
    if (context_) pulse().pa_context_set_state_callback(context_, nullptr, nullptr);
    std::thread([loop = loop_, context = context_] {
      pulse().pa_threaded_mainloop_lock(loop);
      if (context) {
        pulse().pa_context_disconnect(context);
        pulse().pa_context_unref(context);
      }
      pulse().pa_threaded_mainloop_unlock(loop);
      pulse().pa_threaded_mainloop_stop(loop);
      pulse().pa_threaded_mainloop_free(loop);
    }).detach();
    return;
  }
  if (context_) {
    if (started_) pulse().pa_threaded_mainloop_lock(loop_);
    disconnectLocked();
    if (started_) pulse().pa_threaded_mainloop_unlock(loop_);
  }
  stopLoop();
  pulse().pa_threaded_mainloop_free(loop_);
}

void PulseConnection::setStateHandlerLocked(std::function<void(pa_context_state_t)> handler) {
  stateHandler_ = std::move(handler);
}

void PulseConnection::disconnectLocked() {
  if (!context_) return;
  pulse().pa_context_set_state_callback(context_, nullptr, nullptr);
  pulse().pa_context_disconnect(context_);
  pulse().pa_context_unref(context_);
  context_ = nullptr;
}

bool PulseConnection::reconnectLocked() {
  disconnectLocked();
  return beginLocked(server_.empty() ? nullptr : server_.c_str());
}

void PulseConnection::stopLoop() {
  if (!started_ || inLoopThread()) return;
  std::lock_guard guard(stopLock_);
  pulse().pa_threaded_mainloop_stop(loop_);  // nothing once stopped
}

bool PulseConnection::waitLocked(const std::function<bool()>& done, Clock::time_point deadline) {
  if (done()) return true;
  const auto remaining = deadline - Clock::now();
  if (remaining <= Clock::duration::zero()) return false;
  // A timer on the loop wakes the wait at the deadline.
  WaitTimer timer{this};
  const pa_mainloop_api* api = pulse().pa_threaded_mainloop_get_api(loop_);
  const timeval when =
      wallClockIn(std::chrono::duration_cast<std::chrono::microseconds>(remaining));
  pa_time_event* event = api->time_new(
      const_cast<pa_mainloop_api*>(api), &when,
      [](pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata) {
        auto* t = static_cast<WaitTimer*>(userdata);
        t->fired = true;
        t->connection->signal();
      },
      &timer);
  while (!done() && !timer.fired) pulse().pa_threaded_mainloop_wait(loop_);
  api->time_free(event);
  return done();
}

bool PulseConnection::finishLocked(pa_operation* operation, Clock::time_point deadline) {
  if (!operation) return false;
  pulse().pa_operation_set_state_callback(
      operation,
      [](pa_operation*, void* userdata) { static_cast<PulseConnection*>(userdata)->signal(); },
      this);
  const bool finished = waitLocked(
      [&] { return pulse().pa_operation_get_state(operation) != PA_OPERATION_RUNNING; }, deadline);
  if (!finished) pulse().pa_operation_cancel(operation);
  const bool done = pulse().pa_operation_get_state(operation) == PA_OPERATION_DONE;
  pulse().pa_operation_unref(operation);
  return done;
}

PulseConnection::Timer::Timer(PulseConnection& connection, std::function<void()> action)
    : api_(pulse().pa_threaded_mainloop_get_api(connection.loop())), action_(std::move(action)) {}

PulseConnection::Timer::~Timer() {
  if (event_) api_->time_free(event_);
}

void PulseConnection::Timer::armLocked(std::chrono::milliseconds delay) {
  const timeval when = wallClockIn(delay);
  if (event_) {
    api_->time_restart(event_, &when);
  } else {
    event_ = api_->time_new(api_, &when, fire, this);
  }
  armed_ = event_ != nullptr;
}

void PulseConnection::Timer::cancelLocked() {
  if (event_ && armed_) api_->time_restart(event_, nullptr);
  armed_ = false;
}

void PulseConnection::Timer::fire(pa_mainloop_api*, pa_time_event*, const timeval*,
                                  void* userdata) {
  auto* timer = static_cast<Timer*>(userdata);
  timer->armed_ = false;
  // A copy: the action may destroy the timer.
  const std::function<void()> action = timer->action_;
  action();
}

}  // namespace quorvel
