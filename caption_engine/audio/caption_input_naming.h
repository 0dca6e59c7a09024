// Naming rules for audio inputs whose port type and port name are known: the label to show, when
// a port name says nothing, the note that goes with a kind, which kinds want measurement mode, and
// the family of the host device. Pure functions; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "caption_engine/base/caption_audio_source.h"

namespace quorvel {

enum class CaptionHostFamily { iPad, iPhone, mac };

std::string_view rawValue(CaptionHostFamily family);
std::optional<CaptionHostFamily> captionHostFamilyFromRaw(std::string_view raw);
// The display word: "iPad", "iPhone" or "Mac".
std::string_view word(CaptionHostFamily family);

namespace CaptionHostFamilies {
// The family of the machine the engine runs on; a desktop build is always `mac`.
inline constexpr CaptionHostFamily current = CaptionHostFamily::mac;
// The family from a machine identifier and, on a simulator, its model identifier.
CaptionHostFamily from(std::string_view machine, std::optional<std::string_view> simulatorModel);
}  // namespace CaptionHostFamilies

namespace CaptionInputNaming {
inline constexpr std::string_view lowerQuality = "Lower quality";

std::string label(CaptionAudioInputKind kind, std::string_view portName, CaptionHostFamily family);
// True when a port name says nothing beyond its kind (the text is lower-cased, not trimmed).
bool isGeneric(std::string_view name, CaptionAudioInputKind kind);
std::optional<std::string> note(CaptionAudioInputKind kind);
}  // namespace CaptionInputNaming

namespace CaptionAudioSessionPlan {
bool usesMeasurementMode(CaptionAudioInputKind kind);
}  // namespace CaptionAudioSessionPlan

}  // namespace quorvel
