#include "helper/command_reader.h"

#include <unicode/ustring.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <exception>

#include "caption_engine/logic/caption_text.h"
#include "helper/wire.h"

namespace quorvel::helper {

CommandLineReader::CommandLineReader(int fd, size_t maxLineBytes, size_t chunkBytes)
    : fd_(fd), maxLineBytes_(maxLineBytes), chunk_(std::max<size_t>(chunkBytes, 1)) {}

bool CommandLineReader::fill() {
  while (!eof_) {
    const ssize_t n = ::read(fd_, chunk_.data(), chunk_.size());
    if (n > 0) {
      pos_ = 0;
      len_ = static_cast<size_t>(n);
      return true;
    }
    if (n < 0 && errno == EINTR) continue;
    eof_ = true;
  }
  return false;
}

std::optional<CommandLineReader::Line> CommandLineReader::next() {
  for (;;) {
    if (pos_ == len_ && !fill()) {
      if (!pending_) return std::nullopt;
      // A last line without a line feed.
      pending_ = false;
      Line last{std::move(line_), discarding_};
      line_.clear();
      discarding_ = false;
      return last;
    }
    const char* begin = chunk_.data() + pos_;
    const char* end = chunk_.data() + len_;
    const char* lf =
        static_cast<const char*>(std::memchr(begin, '\n', static_cast<size_t>(end - begin)));
    const char* stop = lf ? lf : end;
    const size_t piece = static_cast<size_t>(stop - begin);
    pending_ = true;
    if (!discarding_) {
      if (line_.size() + piece > maxLineBytes_ + 1) {  // +1 leaves room for the CR of CR LF
        discarding_ = true;
        line_.clear();
        line_.shrink_to_fit();
      } else {
        line_.append(begin, piece);
      }
    }
    pos_ = lf ? static_cast<size_t>(lf - chunk_.data()) + 1 : len_;
    if (!lf) continue;

    pending_ = false;
    if (!line_.empty() && line_.back() == '\r') line_.pop_back();
    if (line_.size() > maxLineBytes_) {
      discarding_ = true;
      line_.clear();
    }
    Line done{std::move(line_), discarding_};
    line_.clear();
    discarding_ = false;
    return done;
  }
}

std::string repairedUtf8(std::string_view text) {
  const bool ascii = std::all_of(text.begin(), text.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii || text.size() > size_t{INT32_MAX} / 4) return std::string(text);

  UErrorCode status = U_ZERO_ERROR;
  int32_t utf16Length = 0;
  int32_t substitutions = 0;
  std::u16string utf16(text.size() + 1, u'\0');
  u_strFromUTF8WithSub(utf16.data(), static_cast<int32_t>(utf16.size()), &utf16Length, text.data(),
                       static_cast<int32_t>(text.size()), 0xFFFD, &substitutions, &status);
  if (U_FAILURE(status) || substitutions == 0) return std::string(text);

  status = U_ZERO_ERROR;
  int32_t utf8Length = 0;
  std::string out(static_cast<size_t>(utf16Length) * 3 + 1, '\0');
  u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &utf8Length, utf16.data(), utf16Length,
              &status);
  if (U_FAILURE(status)) return std::string(text);
  out.resize(static_cast<size_t>(utf8Length));
  return out;
}

LineVerdict processLine(std::string_view raw, const CommandHandler& handler) {
  const std::string line = CaptionText::trimmedHorizontal(repairedUtf8(raw));
  if (line.empty()) return LineVerdict::blank;

  Json command;
  try {
    command = Json::parse(line, nullptr, /*allow_exceptions=*/false);
  } catch (...) {
    command = Json(Json::value_t::discarded);
  }
  if (command.is_discarded() || !command.is_object()) {
    Wire::log("non-JSON line ignored");
    return LineVerdict::notJsonObject;
  }
  try {
    handler(command);
  } catch (const std::exception& e) {
    // Nothing a command does may end the reader.
    Wire::log(std::string("command handling failed: ") + e.what());
  } catch (...) {
    Wire::log("command handling failed");
  }
  return LineVerdict::command;
}

void runReaderLoop(int fd, const CommandHandler& handler) {
  CommandLineReader reader(fd);
  while (auto line = reader.next()) {
    if (line->overlong) {
      Wire::log("non-JSON line ignored");
      continue;
    }
    processLine(line->text, handler);
  }
}

}  // namespace quorvel::helper
