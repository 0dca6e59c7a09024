#include "caption_messages.h"

#include <algorithm>
#include <cctype>

namespace quorvel::tools::CaptionMessages {

namespace {

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::string language(const std::string& tag) {
  const std::string l = lower(tag);
  const size_t dash = l.find_first_of("-_");
  return dash == std::string::npos ? l : l.substr(0, dash);
}

std::string joined(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : ", ") + item;
  return out.empty() ? "none" : out;
}

std::string inputName(const CaptionFailureContext& c) {
  if (c.source == CaptionFailureContext::Source::defaultInput) {
    return c.inputLabel.empty() ? "the default audio input" : c.inputLabel + ", the default input";
  }
  return c.inputLabel.empty() ? "audio input " + c.input
                              : "audio input " + c.inputLabel + " [" + c.input + "]";
}

std::string modelMissing(const CaptionFailureContext& c, bool installing) {
  if (!localeSupported(c.locale, c.supportedLocales)) {
    return "there is no speech model for " + c.locale +
           " on this machine (models: " + joined(c.supportedLocales) +
           "); add one to the model store, as the README describes, or choose another --locale";
  }
  if (installing) return "the speech model for " + c.locale + " could not be installed";
  return "the speech model for " + c.locale +
         " is not installed: pass --install-if-missing, or install it first with "
         "--install-locale " +
         c.locale;
}

}  // namespace

bool localeSupported(const std::string& locale, const std::vector<std::string>& supported) {
  const std::string want = lower(locale);
  const std::string lang = language(locale);
  return std::any_of(supported.begin(), supported.end(),
                     [&](const std::string& s) { return lower(s) == want || language(s) == lang; });
}

std::string startFailure(CaptionEngineErrorCode code, const CaptionFailureContext& c) {
  using Source = CaptionFailureContext::Source;
  switch (code) {
    case CaptionEngineErrorCode::unsupported:
      return "captions are not available: this build of the engine has no speech recognizer";
    case CaptionEngineErrorCode::modelMissing:
      return modelMissing(c, false);
    case CaptionEngineErrorCode::audioUnavailable:
      switch (c.source) {
        case Source::file:
          return "cannot caption " + c.file + ": it is not audio that FFmpeg can decode";
        case Source::standardInput:
          return "cannot caption standard input: it is not audio that FFmpeg can decode";
        case Source::input:
        case Source::defaultInput:
          if (!c.soundServer) return noSoundServer;
          if (c.source == Source::defaultInput && c.inputLabel.empty()) {
            return "the sound server has no default audio input; choose one with --input (see "
                   "--list-inputs)";
          }
          return "cannot capture from " + inputName(c) + "; see --list-inputs";
      }
      break;
    case CaptionEngineErrorCode::startFailed:
      break;
  }
  return "the speech recognizer could not start";
}

std::string installFailure(CaptionEngineErrorCode code, const CaptionFailureContext& c) {
  switch (code) {
    case CaptionEngineErrorCode::unsupported:
      return startFailure(code, c);
    case CaptionEngineErrorCode::modelMissing:
      return modelMissing(c, true);
    case CaptionEngineErrorCode::audioUnavailable:
    case CaptionEngineErrorCode::startFailed:
      break;
  }
  return "the speech model for " + c.locale + " could not be installed";
}

std::string sessionFailure(const CaptionFailureContext&) {
  return "the speech recognizer failed while captioning; what it had heard is kept";
}

std::string noSpeech(const CaptionFailureContext& c) {
  using Source = CaptionFailureContext::Source;
  if (c.source == Source::input || c.source == Source::defaultInput) {
    return "no speech heard for a while on " + inputName(c) +
           "; is it the right input? See --list-inputs";
  }
  return "no speech heard for a while";
}

}  // namespace quorvel::tools::CaptionMessages
