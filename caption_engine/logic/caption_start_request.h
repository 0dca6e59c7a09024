// The decoded, validated arguments of a captionsStart command. decode checks the required fields
// in a fixed order and reports the first problem with the exact text the host receives; optional
// fields never fail and fall back to their defaults.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "caption_engine/base/caption_audio_source.h"
#include "caption_engine/logic/caption_value.h"

namespace quorvel {

struct CaptionsStartRequest {
  struct DecodeError {
    std::string reason;
    bool operator==(const DecodeError&) const = default;
  };
  // The request on success, the first failure's reason otherwise.
  using DecodeResult = std::variant<CaptionsStartRequest, DecodeError>;

  std::string sessionId;
  std::string locale;
  CaptionAudioSource source = CaptionAudioSource::systemDefault();
  bool fast = true;
  std::vector<std::string> terms;  // already normalised
  bool installIfMissing = false;
  bool profanityFilter = false;

  bool operator==(const CaptionsStartRequest&) const = default;

  // args: the command's argument object (anything else decodes as an empty object).
  static DecodeResult decode(const CaptionValue& args);
};

}  // namespace quorvel
