#include "caption_subtitles.h"

#include <algorithm>
#include <cstdio>

namespace quorvel::tools::CaptionSubtitles {

namespace {

std::string oneLine(const std::string& text) {
  std::string out = text;
  std::replace(out.begin(), out.end(), '\n', ' ');
  std::replace(out.begin(), out.end(), '\r', ' ');
  return out;
}

std::string vttEscaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '&')
      out += "&amp;";
    else if (c == '<')
      out += "&lt;";
    else if (c == '>')
      out += "&gt;";
    else
      out += c;
  }
  return out;
}

// The cue's lines, each on one line, ending in a line feed.
template <class Escape>
std::string cueText(const CaptionCue& cue, Escape escape) {
  std::string out;
  for (const std::string& line : cue.lines) {
    const std::string flat = oneLine(line);
    if (flat.find_first_not_of(' ') == std::string::npos) continue;
    out += escape(flat) + "\n";
  }
  return out;
}

std::string cueTimes(const CaptionCue& cue, char separator) {
  const int64_t start = std::max<int64_t>(cue.tStartMs, 0);
  const int64_t end = std::max(cue.tEndMs, start);
  return timestamp(start, separator) + " --> " + timestamp(end, separator);
}

}  // namespace

std::string timestamp(int64_t ms, char separator) {
  if (ms < 0) ms = 0;
  const long long hours = ms / 3'600'000;
  const int minutes = static_cast<int>(ms / 60'000 % 60);
  const int seconds = static_cast<int>(ms / 1000 % 60);
  const int millis = static_cast<int>(ms % 1000);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%02lld:%02d:%02d%c%03d", hours, minutes, seconds, separator,
                millis);
  return buf;
}

std::string srt(const std::vector<CaptionCue>& cues) {
  std::string out;
  for (size_t i = 0; i < cues.size(); ++i) {
    out += std::to_string(i + 1) + "\n";
    out += cueTimes(cues[i], ',') + "\n";
    out += cueText(cues[i], [](const std::string& s) { return s; }) + "\n";
  }
  return out;
}

std::string vtt(const std::vector<CaptionCue>& cues) {
  std::string out = "WEBVTT\n\n";
  for (const CaptionCue& cue : cues) {
    out += cueTimes(cue, '.') + "\n";
    out += cueText(cue, vttEscaped) + "\n";
  }
  return out;
}

}  // namespace quorvel::tools::CaptionSubtitles
