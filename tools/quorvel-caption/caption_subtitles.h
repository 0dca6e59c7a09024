// Final caption lines as subtitle files: SubRip (numbered cues, "00:00:01,234 --> 00:00:02,000")
// and WebVTT ("WEBVTT" header, "00:00:01.234 --> 00:00:02.000"). Pure formatting.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorvel::tools {

struct CaptionCue {
  int64_t tStartMs = 0;
  int64_t tEndMs = 0;
  std::string text;
};

namespace CaptionSubtitles {
// hh:mm:ss followed by the separator and three digits of milliseconds; negative times read 0.
std::string timestamp(int64_t ms, char separator);
// Cues in the given order; an end before its start is raised to the start; line breaks inside
// a text become spaces.
std::string srt(const std::vector<CaptionCue>& cues);
// As srt, with the WebVTT header; '&', '<' and '>' in the text are escaped.
std::string vtt(const std::vector<CaptionCue>& cues);
}  // namespace CaptionSubtitles

}  // namespace quorvel::tools
