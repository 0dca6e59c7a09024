// The capture sources of the sound server: the one query that both input listing and producer
// creation use, so the inputs a host sees and the ones a session can open come from the same
// place. Real inputs come first in the server's order, then the monitors of its outputs.
//
// Threads: any thread; each call makes its own short connection.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "caption_engine/audio/audio_format.h"

namespace quorvel {

struct PulseSource {
  std::string name;         // the server's unique name: the input's id
  std::string description;  // the human-readable name: the input's label
  bool isMonitor = false;   // records what an output plays
  AudioFormat format;       // the source's own sample format, rate and channels (interleaved)
  bool nativeFormat = true; // false when the source's sample format is not one of ours
};

struct PulseSourceList {
  bool reachable = false;         // a server answered
  std::string defaultSourceName;  // the server's default source, may be empty
  std::vector<PulseSource> sources;
};

// How long the whole query may take before it gives up with an empty list.
inline constexpr std::chrono::milliseconds kPulseQueryTimeout{3000};

PulseSourceList quorvelAudioInputDevices(std::chrono::milliseconds timeout = kPulseQueryTimeout);

}  // namespace quorvel
