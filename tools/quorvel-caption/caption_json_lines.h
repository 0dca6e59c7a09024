// The captioner's --json output: one compact JSON object per final, for scripts. Pure.
#pragma once

#include <string>

#include "caption_engine/api/caption_engine_values.h"

namespace quorvel::tools::CaptionJsonLines {

// {"text":…,"startMs":…,"endMs":…} and, when the final carries timed words,
// "words":[{"text":…,"startMs":…,"endMs":…},…]; one line, without its line feed. Text that is not
// valid UTF-8 has its bad bytes replaced.
std::string final(const CaptionSegmentEvent& segment);

}  // namespace quorvel::tools::CaptionJsonLines
