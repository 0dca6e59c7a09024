// Takes one parsed command object, checks its envelope (string id and op), validates the
// operation's arguments, and either answers at once (argument errors, captionsStatus,
// captionsAudioInputs) or hands the work to the engine bridge, whose completion writes the reply.
// Every outcome is a wire message or a diagnostic line; nothing here throws or ends the process.
//
// Threads: called only by the reader thread, one command at a time. It never waits for the
// asynchronous engine operations.
#pragma once

#include "caption_engine/runtime/caption_json.h"
#include "helper/caption_engine_bridge.h"

namespace quorvel::helper {

// Returns the bridge; called only by commands that need the engine, so a command that fails its
// envelope or argument checks never creates it.
using EngineAccess = CaptionEngine& (*)();

void handle(const Json& command, EngineAccess engine);
// The same on the process-wide bridge.
void handle(const Json& command);

}  // namespace quorvel::helper
