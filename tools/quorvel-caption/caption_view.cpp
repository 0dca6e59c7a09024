#include "caption_view.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>

#include "caption_json_lines.h"
#include "caption_line_wrap.h"

namespace quorvel::tools {

namespace {

constexpr auto kRedrawSpacing = std::chrono::milliseconds(100);

std::string meterText(const CaptionLevelReadingEvent& r) {
  static const char* blocks[] = {" ", "▁", "▂", "▃", "▄", "▅", "▆", "▇", "█"};
  // Level bar over -60…0 dBFS.
  const int width = 16;
  int filled = static_cast<int>((r.levelDb + 60.0) / 60.0 * width + 0.5);
  filled = std::clamp(filled, 0, width);
  std::string bar;
  for (int i = 0; i < width; ++i) bar += i < filled ? "█" : "·";
  char db[16];
  std::snprintf(db, sizeof db, "%4.0f dB ", std::max(r.levelDb, -120.0));
  std::string bands;
  // Band levels over -90…-20 dB, one block each, low to high.
  for (double b : r.bandsDb) {
    int level = static_cast<int>((b + 90.0) / 70.0 * 8.0 + 0.5);
    bands += blocks[std::clamp(level, 0, 8)];
  }
  return bar + db + bands;
}

}  // namespace

CaptionView::CaptionView(bool json, bool meter)
    : json_(json), meter_(meter), textTerminal_(!json && isatty(STDOUT_FILENO) != 0) {
  if (textTerminal_) {
    status_ = &std::cout;
    statusFd_ = STDOUT_FILENO;
  } else if (isatty(STDERR_FILENO) != 0) {
    status_ = &std::cerr;
    statusFd_ = STDERR_FILENO;
  }
}

size_t CaptionView::columns() const {
  winsize ws{};
  if (statusFd_ >= 0 && ioctl(statusFd_, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

std::string CaptionView::clock(int64_t ms) {
  const int64_t s = std::max<int64_t>(ms, 0) / 1000;
  char text[32];
  if (s >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02d:%02d", static_cast<long long>(s / 3600),
                  static_cast<int>(s / 60 % 60), static_cast<int>(s % 60));
  } else {
    std::snprintf(text, sizeof text, "%d:%02d", static_cast<int>(s / 60), static_cast<int>(s % 60));
  }
  return text;
}

std::string CaptionView::tail(const std::string& text, size_t width) {
  const std::vector<std::string> words = CaptionLineWrap::words(text);
  std::string shown;
  size_t used = 0;
  size_t i = words.size();
  while (i > 0) {
    const size_t w = CaptionLineWrap::width(words[i - 1]) + (used > 0 ? 1 : 0);
    // Room for the ellipsis is kept unless every word fits.
    const size_t room = i - 1 > 0 ? width - std::min<size_t>(width, 2) : width;
    if (used + w > room) break;
    shown = words[i - 1] + (used > 0 ? " " + shown : "");
    used += w;
    --i;
  }
  if (i == 0) return shown;
  if (shown.empty()) {
    // Not even the last word fits: its end, cut between characters.
    const std::vector<std::string> parts =
        CaptionLineWrap::pieces(words.back(), std::max<size_t>(width, 2) - 1);
    return "…" + parts.back();
  }
  return "… " + shown;
}

void CaptionView::startProgress(std::optional<int64_t> totalMs) {
  progress_ = true;
  totalMs_ = totalMs;
  startedAt_ = std::chrono::steady_clock::now();
}

std::string CaptionView::progressText() const {
  if (!progress_) return "";
  std::string text = clock(audioMs_);
  if (totalMs_) text += " / " + clock(*totalMs_);
  const double wallSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - startedAt_).count();
  if (wallSeconds >= 1.0 && audioMs_ > 0) {
    char speed[32];
    std::snprintf(speed, sizeof speed, "  %.1f× real time", audioMs_ / 1000.0 / wallSeconds);
    text += speed;
  }
  return "[" + text + "] ";
}

void CaptionView::eraseStatus() {
  if (!status_ || !statusShown_) return;
  *status_ << "\r\033[2K" << std::flush;
  statusShown_ = false;
}

void CaptionView::redraw(bool force) {
  if (!status_) return;
  const auto now = std::chrono::steady_clock::now();
  if (!force && now - drawnAt_ < kRedrawSpacing) return;
  drawnAt_ = now;
  std::string line = progressText();
  if (meter_ && !meterLine_.empty()) line += meterLine_ + " ";
  const size_t width = columns() - 1;
  const size_t used = CaptionLineWrap::width(line);
  if (used >= width) {
    line = CaptionLineWrap::pieces(line, width).front();
  } else if (!volatile_.empty()) {
    line += tail(volatile_, width - used);
  }
  *status_ << "\r\033[2K" << line << std::flush;
  statusShown_ = !line.empty();
}

void CaptionView::final(const CaptionSegmentEvent& segment) {
  volatile_.clear();
  audioReached(segment.tEndMs);
  eraseStatus();
  if (json_) {
    std::cout << CaptionJsonLines::final(segment) << "\n";
  } else if (textTerminal_) {
    for (const std::string& line :
         CaptionLineWrap::wrap(CaptionLineWrap::words(segment.text), columns() - 1)) {
      std::cout << line << "\n";
    }
  } else {
    std::cout << segment.text << "\n";
  }
  std::cout.flush();
  redraw(true);
}

void CaptionView::volatileText(const std::string& text) {
  volatile_ = text;
  redraw(true);
}

void CaptionView::reading(const CaptionLevelReadingEvent& r, int64_t perSecond) {
  ++readings_;
  audioMs_ = std::max<int64_t>(audioMs_, static_cast<int64_t>(readings_) * 1000 / perSecond);
  if (meter_) meterLine_ = meterText(r);
  if (status_) {
    redraw(false);
  } else if (meter_ && readings_ % 6 == 0) {
    std::cerr << "level " << meterLine_ << "\n";  // four lines a second
  }
}

void CaptionView::audioReached(int64_t ms) { audioMs_ = std::max(audioMs_, ms); }

void CaptionView::message(const std::string& text) {
  eraseStatus();
  std::cerr << text << "\n" << std::flush;
  redraw(true);
}

void CaptionView::clear() {
  volatile_.clear();
  meterLine_.clear();
  progress_ = false;
  eraseStatus();
  status_ = nullptr;
}

}  // namespace quorvel::tools
