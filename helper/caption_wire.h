// Conversions from runtime values to the helper's wire dictionaries, and the event callbacks that
// forward every runtime notice onto the wire as one line.
//
// Threads: all functions are stateless; the callbacks of events() may run on any thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "caption_engine/base/caption_audio_source.h"
#include "caption_engine/logic/caption_emission.h"
#include "caption_engine/runtime/caption_json.h"
#include "caption_engine/runtime/caption_runtime_values.h"

namespace quorvel::helper::CaptionWire {

// {"state":"running","locale":…,"startedAtMs":…}
Json startAck(const CaptionRuntimeStartResult& result);
// One {"id","label","isDefault"} per input, in order.
Json inputs(const std::vector<CaptionAudioInput>& inputs);
// The status ack: exactly six keys, null for what is absent, seconds by the status rule.
Json status(const CaptionRuntimeStatus& status);
// The hello's "captions" block: exactly four keys.
Json capabilities(const CaptionRuntimeCapabilities& capabilities);

// The "captionState" payload: sessionId (null when absent) and state, then reason and levelDb
// only when given.
Json stateData(CaptionState state, const std::optional<std::string>& sessionId,
               const std::optional<std::string>& reason, std::optional<double> levelDb);
// The "captionLevel" payload.
Json levelData(const std::string& sessionId, double levelDb);
// The "captionAssetProgress" payload (the runtime has clamped the fraction).
Json assetProgressData(const std::string& locale, double fraction, bool done,
                       const std::optional<std::string>& error);
// The "captionSegment" payload, exactly seven keys.
Json segmentData(const std::string& sessionId, const CaptionEmission& emission,
                 const std::string& locale);

// The "captionSourceEnded" payload: sessionId and audioMs, the audio the source delivered.
Json sourceEndedData(const std::string& sessionId, int64_t audioMs);

// state, level, assetProgress, segment and sourceEnded become events, log becomes a diagnostic
// line, and band readings (uiLevel) are not forwarded.
CaptionRuntimeEvents events();

}  // namespace quorvel::helper::CaptionWire
