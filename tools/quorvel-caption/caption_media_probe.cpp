#include "caption_media_probe.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

extern "C" {
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

namespace quorvel::tools {

namespace {

int readFd(void* opaque, uint8_t* data, int size) {
  const int fd = *static_cast<int*>(opaque);
  for (;;) {
    const ssize_t n = ::read(fd, data, static_cast<size_t>(size));
    if (n > 0) return static_cast<int>(n);
    if (n == 0) return AVERROR_EOF;
    if (errno != EINTR) return AVERROR(errno);
  }
}

int64_t seekFd(void* opaque, int64_t offset, int whence) {
  const int fd = *static_cast<int*>(opaque);
  if (whence == AVSEEK_SIZE) {
    struct stat info {};
    return ::fstat(fd, &info) == 0 ? static_cast<int64_t>(info.st_size) : AVERROR(errno);
  }
  const off_t at = ::lseek(fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
  return at < 0 ? AVERROR(errno) : static_cast<int64_t>(at);
}

}  // namespace

std::optional<int64_t> probeDurationMs(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return std::nullopt;
  }
  constexpr int kBufferSize = 32768;
  auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
  AVIOContext* io =
      buffer ? avio_alloc_context(buffer, kBufferSize, 0, &fd, &readFd, nullptr, &seekFd) : nullptr;
  AVFormatContext* format = io ? avformat_alloc_context() : nullptr;
  std::optional<int64_t> duration;
  if (format) {
    format->pb = io;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "", 0);  // this file only, never another
    // A file FFmpeg cannot make sense of is the engine's to report; the probe keeps quiet.
    const int logLevel = av_log_get_level();
    av_log_set_level(AV_LOG_QUIET);
    const int opened = avformat_open_input(&format, path.c_str(), nullptr, &options);
    if (opened == 0) {
      if (avformat_find_stream_info(format, nullptr) >= 0 && format->duration > 0) {
        duration = format->duration * 1000 / AV_TIME_BASE;
      }
      avformat_close_input(&format);
    }
    av_log_set_level(logLevel);
    av_dict_free(&options);
  }
  if (!buffer || !io) av_free(buffer);
  if (io) av_freep(&io->buffer);
  avio_context_free(&io);
  ::close(fd);
  return duration;
}

}  // namespace quorvel::tools
