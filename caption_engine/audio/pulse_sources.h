// The capture sources of the sound server: the one query that both input listing and producer
// creation use, so the inputs a host sees and the ones a session can open come from the same
// place. Real inputs come first in the server's order, then the monitors of its outputs.
//
// Threads: any thread; each call makes its own short connection. The two helpers at the end are
// plain functions for code that keeps a connection of its own.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "caption_engine/base/audio_format.h"
#include "caption_engine/base/caption_audio_source.h"

struct pa_source_info;

namespace quorvel {

struct PulseSource {
  std::string name;          // the server's unique name: the input's id
  std::string description;   // the human-readable name: the input's label
  bool isMonitor = false;    // records what an output plays
  AudioFormat format;        // the source's own sample format, rate and channels (interleaved)
  bool nativeFormat = true;  // false when the source's sample format is not one of ours
  bool running = false;      // the server reports it running (not idle or suspended)
  CaptionAudioInputKind kind = CaptionAudioInputKind::other;  // from its device properties
};

struct PulseSourceList {
  bool reachable = false;         // a server answered
  std::string defaultSourceName;  // the server's default source, may be empty
  std::vector<PulseSource> sources;
};

// How long the whole query may take before it gives up with an empty list.
inline constexpr std::chrono::milliseconds kPulseQueryTimeout{3000};

PulseSourceList quorvelAudioInputDevices(std::chrono::milliseconds timeout = kPulseQueryTimeout);

// The kind of input a source is, from the server's device properties: its bus ("device.bus"),
// its form factor ("device.form_factor") and the name of its active port. Monitors are `other`.
CaptionAudioInputKind pulseInputKind(std::string_view bus, std::string_view formFactor,
                                     std::string_view activePort, bool isMonitor);

// One source as the server describes it; nothing when it has no name.
std::optional<PulseSource> pulseSourceOf(const pa_source_info& info);
// Puts real inputs first, then monitors, each group in the server's order.
void orderPulseSources(std::vector<PulseSource>& sources);

}  // namespace quorvel
