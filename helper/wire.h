// The helper's only writer of protocol output. Every message becomes one line of compact JSON on
// standard output; diagnostics become "[helper.mac] " lines on standard error.
//
// Threads: any thread may call any operation, and none waits for the host to read: a line that the
// descriptor cannot take at once is queued for a writer thread (see LineOutput). Lines never
// interleave, and each stream's lines come out in the order callers pushed them. Replies (ack,
// err) are always queued; events and log lines are dropped, and counted on standard error, while
// a host that does not read lets the queue grow beyond its bound. A message that cannot be written
// (the host closed our standard output) is dropped; nothing here retries.
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

// Where lines go. The defaults write to file descriptors 1 and 2 as above. Benchmarks and tests
// point them elsewhere; set them only while no other thread writes. A sink is called on the
// caller's thread, one whole line at a time (including its line feed), and must not call back
// into Wire.
using LineSink = std::function<void(std::string_view line)>;
void setOutputSink(LineSink sink);  // nullptr restores standard output
void setLogSink(LineSink sink);     // nullptr restores standard error

// Writes all of line to fd in as few writes as the kernel allows; false when a write failed.
bool writeAll(int fd, std::string_view line);

// Stops taking lines and gives what is queued up to half of waitMs to reach a host that reads (a
// line then half written gets the other half to complete), then returns, within waitMs, with no
// write under way or about to start, so that an exit that follows cuts no line that the host was
// still taking. Only for the process's exit path.
void holdForExit(int waitMs);

}  // namespace quorvel::helper::Wire
