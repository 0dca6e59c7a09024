#include "caption_engine/audio/pulse_connection.h"

namespace quorvel {

namespace {

struct WaitTimer {
  PulseConnection* connection;
  bool fired = false;
};

void contextStateChanged(pa_context*, void* userdata) {
  static_cast<PulseConnection*>(userdata)->signal();
}

}  // namespace

std::unique_ptr<PulseConnection> PulseConnection::connect(std::chrono::milliseconds timeout,
                                                          std::string& error) {
  const auto deadline = Clock::now() + timeout;
  std::unique_ptr<PulseConnection> c(new PulseConnection);
  c->loop_ = pa_threaded_mainloop_new();
  if (!c->loop_) {
    error = "cannot create the sound server's main loop";
    return nullptr;
  }
  pa_proplist* props = pa_proplist_new();
  pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Quorvel Captions");
  pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "production");
  c->context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(c->loop_),
                                             "Quorvel Captions", props);
  pa_proplist_free(props);
  if (!c->context_) {
    error = "cannot create a sound server context";
    return nullptr;
  }
  pa_context_set_state_callback(c->context_, contextStateChanged, c.get());
  // Never start a server of our own: no server means no inputs.
  if (pa_context_connect(c->context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    error = pa_strerror(pa_context_errno(c->context_));
    return nullptr;
  }
  if (pa_threaded_mainloop_start(c->loop_) < 0) {
    error = "cannot start the sound server's main loop";
    return nullptr;
  }
  c->started_ = true;

  auto settled = [&] {
    const pa_context_state_t s = pa_context_get_state(c->context_);
    return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
  };
  {
    Lock lock(*c);
    c->waitLocked(settled, deadline);
    const pa_context_state_t state = pa_context_get_state(c->context_);
    if (state == PA_CONTEXT_READY) return c;
    error = PA_CONTEXT_IS_GOOD(state) ? std::string("the sound server did not answer in time")
                                      : std::string(pa_strerror(pa_context_errno(c->context_)));
  }
  return nullptr;
}

PulseConnection::~PulseConnection() {
  if (context_) {
    if (started_) pa_threaded_mainloop_lock(loop_);
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    if (started_) pa_threaded_mainloop_unlock(loop_);
  }
  if (loop_) {
    if (started_) pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
  }
}

bool PulseConnection::waitLocked(const std::function<bool()>& done, Clock::time_point deadline) {
  if (done()) return true;
  const auto remaining = deadline - Clock::now();
  if (remaining <= Clock::duration::zero()) return false;
  // A timer on the loop wakes the wait at the deadline.
  WaitTimer timer{this};
  const pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
  timeval when{};
  pa_gettimeofday(&when);
  pa_timeval_add(&when, static_cast<pa_usec_t>(
                            std::chrono::duration_cast<std::chrono::microseconds>(remaining).count()));
  pa_time_event* event = api->time_new(
      const_cast<pa_mainloop_api*>(api), &when,
      [](pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata) {
        auto* t = static_cast<WaitTimer*>(userdata);
        t->fired = true;
        t->connection->signal();
      },
      &timer);
  while (!done() && !timer.fired) pa_threaded_mainloop_wait(loop_);
  api->time_free(event);
  return done();
}

bool PulseConnection::finishLocked(pa_operation* operation, Clock::time_point deadline) {
  if (!operation) return false;
  pa_operation_set_state_callback(
      operation, [](pa_operation*, void* userdata) { static_cast<PulseConnection*>(userdata)->signal(); },
      this);
  const bool finished = waitLocked(
      [&] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; }, deadline);
  if (!finished) pa_operation_cancel(operation);
  const bool done = pa_operation_get_state(operation) == PA_OPERATION_DONE;
  pa_operation_unref(operation);
  return done;
}

}  // namespace quorvel
