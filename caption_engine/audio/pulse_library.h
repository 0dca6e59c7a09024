// The sound server client library's functions the engine calls, looked up in libpulse the first
// time a connection is made rather than linked: libpulse and what it depends on (D-Bus, systemd,
// libsndfile and their codecs) need not be loaded by a helper that never captures. Every other
// use of these functions comes after a connection exists, so pulse() may be called there without
// checking.
//
// Threads: any thread; the first call loads, later calls share the result.
#pragma once

#include <string>

#include <pulse/pulseaudio.h>

namespace quorvel {

#define QUORVEL_PULSE_FUNCTIONS(X)     \
  X(pa_context_connect)                \
  X(pa_context_disconnect)             \
  X(pa_context_errno)                  \
  X(pa_context_get_server)             \
  X(pa_context_get_server_info)        \
  X(pa_context_get_source_info_list)   \
  X(pa_context_get_state)              \
  X(pa_context_new_with_proplist)      \
  X(pa_context_set_state_callback)     \
  X(pa_context_set_subscribe_callback) \
  X(pa_context_subscribe)              \
  X(pa_context_unref)                  \
  X(pa_frame_size)                     \
  X(pa_gettimeofday)                   \
  X(pa_operation_cancel)               \
  X(pa_operation_get_state)            \
  X(pa_operation_set_state_callback)   \
  X(pa_operation_unref)                \
  X(pa_proplist_free)                  \
  X(pa_proplist_gets)                  \
  X(pa_proplist_new)                   \
  X(pa_proplist_sets)                  \
  X(pa_sample_spec_valid)              \
  X(pa_stream_connect_record)          \
  X(pa_stream_cork)                    \
  X(pa_stream_disconnect)              \
  X(pa_stream_drop)                    \
  X(pa_stream_get_state)               \
  X(pa_stream_new)                     \
  X(pa_stream_peek)                    \
  X(pa_stream_readable_size)           \
  X(pa_stream_set_read_callback)       \
  X(pa_stream_set_state_callback)      \
  X(pa_stream_unref)                   \
  X(pa_strerror)                       \
  X(pa_threaded_mainloop_free)         \
  X(pa_threaded_mainloop_get_api)      \
  X(pa_threaded_mainloop_in_thread)    \
  X(pa_threaded_mainloop_lock)         \
  X(pa_threaded_mainloop_new)          \
  X(pa_threaded_mainloop_signal)       \
  X(pa_threaded_mainloop_start)        \
  X(pa_threaded_mainloop_stop)         \
  X(pa_threaded_mainloop_unlock)       \
  X(pa_threaded_mainloop_wait)         \
  X(pa_timeval_add)                    \
  X(pa_usec_to_bytes)

struct PulseFunctions {
#define QUORVEL_PULSE_FUNCTION_FIELD(name) decltype(&::name) name = nullptr;
  QUORVEL_PULSE_FUNCTIONS(QUORVEL_PULSE_FUNCTION_FIELD)
#undef QUORVEL_PULSE_FUNCTION_FIELD
};

// The functions, loading libpulse on the first call; nothing when it or one of its functions
// cannot be found, with the reason in `error` when one is given.
const PulseFunctions* loadPulse(std::string* error = nullptr);

// The functions once loadPulse() has succeeded (a connection exists).
inline const PulseFunctions& pulse() { return *loadPulse(); }

}  // namespace quorvel
