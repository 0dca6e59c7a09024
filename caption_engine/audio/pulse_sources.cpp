#include "caption_engine/audio/pulse_sources.h"

#include <algorithm>

#include "caption_engine/audio/pulse_connection.h"

namespace quorvel {

namespace {

struct Query {
  PulseConnection* connection = nullptr;
  std::string defaultSourceName;
  std::vector<PulseSource> sources;
};

// Our sample type for a server sample format; float32 for any the server must convert for us.
std::pair<SampleType, bool> sampleTypeOf(pa_sample_format_t format) {
  switch (format) {
    case PA_SAMPLE_S16LE:
      return {SampleType::int16, true};
    case PA_SAMPLE_FLOAT32LE:
      return {SampleType::float32, true};
    case PA_SAMPLE_S32LE:
      return {SampleType::int32, true};
    default:
      return {SampleType::float32, false};
  }
}

void onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
  auto* q = static_cast<Query*>(userdata);
  if (info && info->default_source_name) q->defaultSourceName = info->default_source_name;
  q->connection->signal();
}

void onSourceInfo(pa_context*, const pa_source_info* info, int eol, void* userdata) {
  auto* q = static_cast<Query*>(userdata);
  if (eol == 0 && info) {
    if (std::optional<PulseSource> s = pulseSourceOf(*info)) q->sources.push_back(std::move(*s));
  }
  q->connection->signal();
}

}  // namespace

PulseSourceList quorvelAudioInputDevices(std::chrono::milliseconds timeout) {
  const auto deadline = PulseConnection::Clock::now() + timeout;
  PulseSourceList list;
  std::string error;
  auto connection = PulseConnection::connect(timeout, error);
  if (!connection) return list;

  Query query{connection.get(), {}, {}};
  bool complete = false;
  {
    PulseConnection::Lock lock(*connection);
    complete = connection->finishLocked(
                   pulse().pa_context_get_server_info(connection->context(), onServerInfo, &query),
                   deadline) &&
               connection->finishLocked(pulse().pa_context_get_source_info_list(
                                            connection->context(), onSourceInfo, &query),
                                        deadline);
  }
  if (!complete) return list;  // a server that does not answer in time has no inputs for us

  list.reachable = true;
  list.defaultSourceName = std::move(query.defaultSourceName);
  orderPulseSources(query.sources);
  list.sources = std::move(query.sources);
  return list;
}

CaptionAudioInputKind pulseInputKind(std::string_view bus, std::string_view formFactor,
                                     std::string_view activePort, bool isMonitor) {
  if (isMonitor) return CaptionAudioInputKind::other;
  if (bus == "bluetooth") return CaptionAudioInputKind::bluetooth;
  if (bus == "usb") return CaptionAudioInputKind::usb;
  if (formFactor == "headset" || formFactor == "handset" || formFactor == "hands-free" ||
      formFactor == "headphone") {
    return CaptionAudioInputKind::headset;
  }
  const auto portHas = [&](std::string_view part) {
    return activePort.find(part) != std::string_view::npos;
  };
  if (portHas("headset") || portHas("headphone-mic")) return CaptionAudioInputKind::headset;
  if (portHas("linein") || portHas("line-in")) return CaptionAudioInputKind::lineIn;
  if (formFactor == "internal" || portHas("internal-mic")) return CaptionAudioInputKind::builtIn;
  return CaptionAudioInputKind::other;
}

std::optional<PulseSource> pulseSourceOf(const pa_source_info& info) {
  if (!info.name || !*info.name) return std::nullopt;
  PulseSource s;
  s.name = info.name;
  s.description = info.description && *info.description ? info.description : s.name;
  s.isMonitor = info.monitor_of_sink != PA_INVALID_INDEX;
  const auto [type, native] = sampleTypeOf(info.sample_spec.format);
  s.format = AudioFormat{type, static_cast<double>(info.sample_spec.rate),
                         static_cast<uint32_t>(info.sample_spec.channels), true};
  s.nativeFormat = native;
  s.running = info.state == PA_SOURCE_RUNNING;
  const auto property = [&](const char* key) -> std::string_view {
    const char* v = info.proplist ? pulse().pa_proplist_gets(info.proplist, key) : nullptr;
    return v ? v : "";
  };
  s.kind = pulseInputKind(property(PA_PROP_DEVICE_BUS), property(PA_PROP_DEVICE_FORM_FACTOR),
                          info.active_port && info.active_port->name ? info.active_port->name : "",
                          s.isMonitor);
  return s;
}

void orderPulseSources(std::vector<PulseSource>& sources) {
  // Real inputs first, then what the outputs play; each group in the server's own order.
  std::stable_partition(sources.begin(), sources.end(),
                        [](const PulseSource& s) { return !s.isMonitor; });
}

}  // namespace quorvel
