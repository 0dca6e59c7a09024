// Which capture input a producer records from while inputs come and go. A value type: it takes
// what the sound server reports (a stream opened or failed, a fresh listing of the inputs, the
// server gone, a buffer) and answers with what to do, in order: close or open a stream, fetch a
// listing, raise a path event, log a line. PulseCaptureProducer carries the answers out.
//
// The rules:
// - A producer made for a device records only from that input. When it goes away (its stream
//   fails, a listing no longer has it, or the server goes) the producer holds ("input_lost");
//   when a listing has it again, capture reopens on it and resumes.
// - A producer made for the default input prefers the input that was default when it was made,
//   and keeps to it while it is there, whatever the server later names as default. When the input
//   it records from goes away it moves, without a hold, to the input the server names as default,
//   or to the first listed one when the server names none that is there (real inputs are listed
//   before monitors), and raises fellBack with that input's label; while on such a fallback it
//   follows the server's default. When the preferred input is listed again it moves back and
//   raises restored. With nothing to move to it holds; the first input listed afterwards is
//   taken: the preferred one (resumed, or restored then resumed if a fallback was reported
//   before), or another (fellBack, then resumed), so that a host always learns which input it
//   hears before it hears it.
// - A stream that has delivered no buffer for kStallMs while a listing reports its input as not
//   running (suspended, or left unconnected by the server) counts as lost and holds, but stays
//   open: the source is still there and nothing but its buffers says when it recovers, so the
//   first buffer resumes it. If the input then goes away the rules above apply.
// - Path events for a move are raised when the new stream has opened, not when it is asked for,
//   and a stream that cannot be opened counts as lost; fetching the next listing after such a
//   failure waits a little longer each time (kRetryFirstMs doubling to kRetryMaxMs), and the input
//   that failed is passed over while another one is there.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "caption_engine/base/caption_audio_path_event.h"

namespace quorvel {

class CaptionInputFollower {
 public:
  enum class Mode { device, systemDefault };

  struct Input {
    std::string name;      // the server's unique name
    std::string label;     // the human-readable name, used in events and log lines
    bool running = false;  // the server reports it running
    bool operator==(const Input&) const = default;
  };
  struct Listing {
    std::string defaultName;    // what the server names as default; may be empty
    std::vector<Input> inputs;  // the inputs there are, in fallback order
  };

  struct Close {  // close the current stream, if any
    bool operator==(const Close&) const = default;
  };
  struct Open {  // close the current stream, if any, and open one on this input
    std::string name;
    bool operator==(const Open&) const = default;
  };
  struct Refresh {  // fetch a new listing after this delay
    int64_t delayMs = 0;
    bool operator==(const Refresh&) const = default;
  };
  struct Raise {
    CaptionAudioPathEvent event;
    bool operator==(const Raise&) const = default;
  };
  struct Log {
    std::string line;
    bool operator==(const Log&) const = default;
  };
  using Action = std::variant<Close, Open, Refresh, Raise, Log>;
  using Actions = std::vector<Action>;

  static constexpr int64_t kStallMs = 1000;
  static constexpr int64_t kRetryFirstMs = 100;
  static constexpr int64_t kRetryMaxMs = 2000;

  // `initial` is the input whose stream is being opened when the producer is made.
  CaptionInputFollower(Mode mode, Input initial);

  // The stream asked for last has opened.
  Actions opened(int64_t nowMs);
  // The current stream failed, or could not be opened.
  Actions lost(int64_t nowMs);
  // The connection to the sound server ended; every stream went with it.
  Actions serverLost(int64_t nowMs);
  // A fresh listing of the inputs.
  Actions listed(const Listing& listing, int64_t nowMs);
  // A buffer came from the current stream.
  Actions buffer(int64_t nowMs);
  // Capture began: from now on a stream that delivers nothing may count as stalled.
  void started(int64_t nowMs);
  // When tick should next be called, or nothing while no stall can be judged.
  std::optional<int64_t> nextCheckMs() const;
  // Asks for a listing when the current stream has been quiet for kStallMs.
  Actions tick(int64_t nowMs);

  // The line logged when an input is lost; hosts match it.
  static std::string goneLine(const std::string& label);

  const std::optional<Input>& current() const { return current_; }
  bool isOpen() const { return open_; }
  bool held() const { return held_; }

 private:
  std::optional<Input> pick(const std::vector<std::string>& passOver) const;
  std::optional<Input> choose(const std::string& gone) const;
  const Input* listedInput(const std::string& name) const;
  Actions openOn(const Input& input);
  void hold(Actions& actions);

  Mode mode_;
  Input preferred_;
  std::optional<Input> current_;  // the input the stream is on, opening or open
  bool open_ = false;             // the stream on current_ has opened
  std::string lastOpened_;        // the input whose stream opened last
  bool held_ = false;             // held was raised and resumed not yet
  bool stalled_ = false;          // held because current_ went quiet; its stream stays open
  bool onFallback_ = false;       // fellBack was raised and restored not yet
  bool goneLogged_ = false;       // the loss of current_ was logged
  Listing listing_;               // the latest listing
  std::string failedOpen_;        // an input whose stream could not be opened
  int failures_ = 0;              // streams in a row that could not be opened
  bool started_ = false;
  int64_t quietSinceMs_ = 0;  // the last buffer, or when the stream opened or capture began
  int64_t checkedMs_ = 0;     // when a listing was last asked for or received
};

}  // namespace quorvel
