// Why an audio source could not be opened, as the audio layer says it: a message for the host
// that names the file, the input or the permission to grant, and details by name (e.g. "path",
// "uniqueID", "reason"). The runtime reports it as the session's start failure.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace quorvel {

struct CaptionAudioError : std::runtime_error {
  using Context = std::vector<std::pair<std::string, std::string>>;

  explicit CaptionAudioError(const std::string& message, Context context = {})
      : std::runtime_error(message), context(std::move(context)) {}

  Context context;  // in the order given
};

}  // namespace quorvel
