// Reads commands from a file descriptor: splits the input into lines (LF or CR LF), trims
// horizontal white space, parses each line as JSON and hands every top-level object to a handler.
// Blank lines are skipped silently; lines that are not a JSON object, and lines longer than
// kMaxLineBytes, are logged as "non-JSON line ignored" and skipped. The reader holds a bounded
// amount of memory whatever the input: it reads in chunks and discards an over-long line up to
// its line feed without keeping it.
//
// Threads: one reader per descriptor, used from one thread (the helper's reader thread).
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "caption_engine/runtime/caption_json.h"

namespace quorvel::helper {

inline constexpr size_t kMaxLineBytes = size_t{1} << 20;

class CommandLineReader {
 public:
  struct Line {
    std::string text;       // without its terminator
    bool overlong = false;  // longer than the limit; text is empty
  };

  explicit CommandLineReader(int fd, size_t maxLineBytes = kMaxLineBytes,
                             size_t chunkBytes = 64 * 1024);

  // The next line, or nothing at end of input (a read error counts as end of input). A last line
  // without a line feed is still returned.
  std::optional<Line> next();

 private:
  bool fill();

  int fd_;
  size_t maxLineBytes_;
  std::vector<char> chunk_;
  size_t pos_ = 0;
  size_t len_ = 0;
  bool eof_ = false;
  std::string line_;
  bool pending_ = false;     // bytes of an unfinished line have been seen
  bool discarding_ = false;  // the current line went over the limit
};

using CommandHandler = std::function<void(const Json& command)>;

// What one line amounts to, before the handler runs.
enum class LineVerdict { blank, notJsonObject, command };

// Repairs invalid UTF-8 (each bad sequence becomes U+FFFD), trims horizontal white space, parses
// strictly and, for a JSON object, calls handler. Logs "non-JSON line ignored" for anything else
// that is not blank.
LineVerdict processLine(std::string_view raw, const CommandHandler& handler);

// Reads fd to its end, processing every line. Returns at end of input.
void runReaderLoop(int fd, const CommandHandler& handler);

// The text with every ill-formed UTF-8 sequence replaced by U+FFFD; valid text is unchanged.
std::string repairedUtf8(std::string_view text);

}  // namespace quorvel::helper
