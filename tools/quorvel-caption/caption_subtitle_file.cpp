#include "caption_subtitle_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>

namespace quorvel::tools {

namespace fs = std::filesystem;

namespace {

// The temporary file of the replace() in progress, for a signal handler to remove.
char gTempPath[PATH_MAX + 1];
std::atomic<bool> gTempActive{false};

std::string systemError(int code) { return std::strerror(code); }

std::string directoryOf(const std::string& path) {
  const fs::path parent = fs::path(path).parent_path();
  return parent.empty() ? std::string(".") : parent.string();
}

// The permissions a new file gets under the process's umask.
mode_t newFileMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

bool writeAll(int fd, const std::string& content) {
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// A new, empty temporary file beside `path`; its name in `temp`.
int makeTemp(const std::string& path, std::string& temp) {
  const fs::path target(path);
  temp =
      (fs::path(directoryOf(path)) / ("." + target.filename().string() + ".tmp-XXXXXX")).string();
  return ::mkostemp(temp.data(), O_CLOEXEC);
}

}  // namespace

const char* CaptionSubtitleFile::formatName(CaptionSubtitleFormat format) {
  return format == CaptionSubtitleFormat::srt ? "SubRip" : "WebVTT";
}

bool CaptionSubtitleFile::looksLike(const std::string& head, CaptionSubtitleFormat format) {
  std::string text = head;
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
  if (format == CaptionSubtitleFormat::vtt) {
    return text.rfind("WEBVTT", 0) == 0 && (text.size() == 6 || text[6] == '\n' ||
                                            text[6] == '\r' || text[6] == ' ' || text[6] == '\t');
  }
  // A cue number on its own line, then its timing line.
  static const std::regex cue(
      "^[\\r\\n\\t ]*\\d+[ \\t]*\\r?\\n\\d+:\\d{2}:\\d{2}[,.]\\d{1,3}[ \\t]+-->[ \\t]+"
      "\\d+:\\d{2}:\\d{2}[,.]\\d{1,3}");
  return std::regex_search(text, cue);
}

bool CaptionSubtitleFile::sameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  if (fs::exists(a, ec) && fs::exists(b, ec)) return fs::equivalent(a, b, ec);
  return fs::weakly_canonical(fs::absolute(a, ec), ec) ==
         fs::weakly_canonical(fs::absolute(b, ec), ec);
}

std::optional<std::string> CaptionSubtitleFile::refusal(
    const std::string& path, CaptionSubtitleFormat format,
    const std::optional<std::string>& audioPath) {
  if (audioPath && sameFile(path, *audioPath)) {
    return path + " is the audio file being captioned; subtitles would overwrite it";
  }
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;  // a new file
  if (!S_ISREG(info.st_mode)) {
    return path + " is not a regular file; subtitles go to a file of their own";
  }
  if (info.st_size == 0) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  std::string head(4096, '\0');
  in.read(head.data(), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<size_t>(in.gcount()));
  if (!in.bad() && looksLike(head, format)) return std::nullopt;
  return path + " exists and is not a " + formatName(format) +
         " subtitle file; not overwriting it (remove it or choose another name)";
}

CaptionSubtitleFile::CaptionSubtitleFile(std::string path) : path_(std::move(path)) {}

CaptionSubtitleFile::~CaptionSubtitleFile() = default;

std::optional<std::string> CaptionSubtitleFile::cannotWrite() const {
  std::string temp;
  const int fd = makeTemp(path_, temp);
  if (fd < 0) return systemError(errno);
  ::close(fd);
  ::unlink(temp.c_str());
  // A file the user may not write is not replaced either, although its directory would allow it.
  if (::access(path_.c_str(), F_OK) == 0 && ::access(path_.c_str(), W_OK) != 0) {
    return systemError(EACCES);
  }
  return std::nullopt;
}

std::optional<std::string> CaptionSubtitleFile::replace(const std::string& content, bool durable) {
  std::string temp;
  const int fd = makeTemp(path_, temp);
  if (fd < 0) return systemError(errno);
  if (temp.size() <= PATH_MAX) {
    std::memcpy(gTempPath, temp.c_str(), temp.size() + 1);
    gTempActive.store(true);
  }
  struct stat info {};
  const mode_t mode = ::stat(path_.c_str(), &info) == 0 ? (info.st_mode & 07777) : newFileMode();
  std::optional<std::string> failure;
  if (::fchmod(fd, mode) != 0 || !writeAll(fd, content) || (durable && ::fsync(fd) != 0)) {
    failure = systemError(errno);
  }
  if (::close(fd) != 0 && !failure) failure = systemError(errno);
  if (!failure && ::rename(temp.c_str(), path_.c_str()) != 0) failure = systemError(errno);
  if (failure) ::unlink(temp.c_str());
  gTempActive.store(false);
  return failure;
}

void CaptionSubtitleFile::cleanUpFromSignal() {
  if (gTempActive.load()) ::unlink(gTempPath);
}

}  // namespace quorvel::tools
