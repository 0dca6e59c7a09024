// The helper's only writer of protocol output. Every message becomes one line of compact JSON on
// standard output; diagnostics become "[helper.mac] " lines on standard error.
//
// Threads: any thread may call any operation. Output lines are written under one emit lock, so
// they never interleave and come out in the order callers reached it; each call returns after its
// line has been written (or dropped). log does not take the emit lock. A message that cannot be
// written (the host closed our standard output) is dropped; nothing here retries.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "caption_engine/runtime/caption_json.h"

namespace quorvel::helper::Wire {

void event(std::string_view name, Json data);
void ack(std::string_view id, Json result);
void ackVoid(std::string_view id);
// context is written only when it is an object with at least one entry.
void err(std::string_view id, std::string_view code, std::string_view message, bool retriable,
         const std::optional<Json>& context = std::nullopt);
void log(std::string_view message);

// The compact one-line form of a message: invalid UTF-8 in strings becomes U+FFFD, so every
// message serializes. Ends with a line feed.
std::string frame(const Json& message);

// Where lines go. The defaults write to file descriptors 1 and 2. Benchmarks and tests point
// them elsewhere; set them only while no other thread writes. A sink gets one whole line,
// including its line feed, and must not call back into Wire.
using LineSink = std::function<void(std::string_view line)>;
void setOutputSink(LineSink sink);  // nullptr restores standard output
void setLogSink(LineSink sink);     // nullptr restores standard error

// Writes all of line to fd in as few writes as the kernel allows; false when a write failed.
bool writeAll(int fd, std::string_view line);

// Takes the emit lock for up to waitMs and keeps it, so that an exit that follows cuts no line
// in half. Only for the process's exit path.
void holdForExit(int waitMs);

}  // namespace quorvel::helper::Wire
