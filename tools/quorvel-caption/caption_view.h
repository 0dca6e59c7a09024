// What the captioner shows while it runs. Finals go to standard output: on a terminal wrapped at
// word boundaries to its width, otherwise one line each (or one JSON object each with --json).
// On a terminal one status line updates in place below them: the words being heard, a file's
// progress (audio time done, its total, the speed against real time) and the level meter. The
// status line is drawn on standard output when that is a terminal showing text, else on standard
// error when that is a terminal, else not at all. Messages go to standard error; the status line
// is cleared first, so the two never mix.
//
// Threads: main thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

#include "caption_engine/api/caption_engine_values.h"

namespace quorvel::tools {

class CaptionView {
 public:
  CaptionView(bool json, bool meter);

  bool hasStatusLine() const { return status_ != nullptr; }

  // Shows the progress of a file of the given length (unknown: nothing), from now.
  void startProgress(std::optional<int64_t> totalMs);
  void final(const CaptionSegmentEvent& segment);
  void volatileText(const std::string& text);
  // A meter reading; each one stands for 1/perSecond s of audio analysed.
  void reading(const CaptionLevelReadingEvent& reading, int64_t perSecond);
  // Audio analysed so far, as far as it is known otherwise (a segment's end).
  void audioReached(int64_t ms);
  void message(const std::string& text);
  // Clears the status line for good.
  void clear();

  // "1:05" or "1:02:03".
  static std::string clock(int64_t ms);
  // The end of the text that fits in `width` code points, cut at a word boundary, with "…" in
  // front when something was cut.
  static std::string tail(const std::string& text, size_t width);

 private:
  size_t columns() const;
  void redraw(bool force);
  void eraseStatus();
  std::string progressText() const;

  bool json_;
  bool meter_;
  bool textTerminal_;               // standard output is a terminal and shows text
  std::ostream* status_ = nullptr;  // where the status line goes, if anywhere
  int statusFd_ = -1;
  bool statusShown_ = false;
  std::string volatile_;
  std::string meterLine_;
  uint64_t readings_ = 0;
  bool progress_ = false;
  std::optional<int64_t> totalMs_;
  int64_t audioMs_ = 0;
  std::chrono::steady_clock::time_point startedAt_;
  std::chrono::steady_clock::time_point drawnAt_;
};

}  // namespace quorvel::tools
