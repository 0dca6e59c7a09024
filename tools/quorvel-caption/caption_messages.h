// The captioner's own wording of what went wrong, made from the engine's error code and what the
// captioner knows (the source it asked for, the locale, whether the sound server answered, which
// locales the recognizer has): the engine's texts are written for hosts and other platforms, so
// they are not shown to users (--verbose shows them as well). Pure functions.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "caption_engine/api/caption_engine_values.h"

namespace quorvel::tools {

struct CaptionFailureContext {
  enum class Source { file, standardInput, input, defaultInput };
  Source source = Source::defaultInput;
  std::string file;        // the audio file, for a file source
  std::string input;       // the input's id, for --input
  std::string inputLabel;  // the input's label, when known
  std::string locale;
  bool soundServer = true;                    // the sound server answered and has inputs
  std::vector<std::string> supportedLocales;  // the locales the recognizer has models for
};

namespace CaptionMessages {

inline constexpr const char* noSoundServer = "no sound server running (PulseAudio or PipeWire)";

// Whether a locale is one of the supported ones, as the engine matches them: the same tag in any
// letter case, or the same language.
bool localeSupported(const std::string& locale, const std::vector<std::string>& supported);

// Why a session could not be started.
std::string startFailure(CaptionEngineErrorCode code, const CaptionFailureContext& context);
// Why a speech model could not be installed (--install-locale).
std::string installFailure(CaptionEngineErrorCode code, const CaptionFailureContext& context);
// Why a running session failed.
std::string sessionFailure(const CaptionFailureContext& context);
// What a live session that heard nothing for a while says.
std::string noSpeech(const CaptionFailureContext& context);

}  // namespace CaptionMessages
}  // namespace quorvel::tools
