// How long an audio file plays, for the captioner's progress line: FFmpeg's figure from the
// file's headers (or its estimate from the bit rate). Reads only a regular file, through its own
// open descriptor, and lets FFmpeg open nothing else.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quorvel::tools {

// The duration in milliseconds, or nothing when it cannot be told.
std::optional<int64_t> probeDurationMs(const std::string& path);

}  // namespace quorvel::tools
