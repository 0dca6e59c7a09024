// Subtitle cues as subtitle files: SubRip (numbered cues, "00:00:01,234 --> 00:00:02,000") and
// WebVTT ("WEBVTT" header, "00:00:01.234 --> 00:00:02.000"). Pure formatting.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "caption_cues.h"

namespace quorvel::tools::CaptionSubtitles {

// hh:mm:ss followed by the separator and three digits of milliseconds; negative times read 0.
std::string timestamp(int64_t ms, char separator);
// Cues in the given order, each line of a cue on a line of its own; an end before its start is
// raised to the start; a line break inside a line becomes a space (it would end the cue), and a
// line with no text is left out.
std::string srt(const std::vector<CaptionCue>& cues);
// As srt, with the WebVTT header; '&', '<' and '>' in the text are escaped.
std::string vtt(const std::vector<CaptionCue>& cues);

}  // namespace quorvel::tools::CaptionSubtitles
