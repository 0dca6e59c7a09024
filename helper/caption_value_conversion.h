// Turns a parsed JSON value into the loosely typed CaptionValue that the start-request decoder
// reads. The depth is bounded: containers nested deeper than maxDepth become null, so hostile
// nesting never makes the conversion recurse without end.
#pragma once

#include "caption_engine/logic/caption_value.h"
#include "caption_engine/runtime/caption_json.h"

namespace quorvel::helper {

// Command arguments need three levels (args, source, the source's fields); this leaves room.
inline constexpr int kCaptionValueMaxDepth = 16;

// depth 0 is the value itself; a container at depth maxDepth or deeper becomes null. Integers
// beyond the signed 64-bit range become floating point.
CaptionValue toCaptionValue(const Json& json, int maxDepth = kCaptionValueMaxDepth);

}  // namespace quorvel::helper
