#include "caption_engine/audio/file_audio_producer.h"

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>

#include "caption_engine/audio/caption_audio_error.h"
#include "caption_engine/audio/ffmpeg_audio_file.h"

namespace quorvel {

namespace {

CaptionAudioError fileFailure(const std::string& message, const std::string& path) {
  return CaptionAudioError(message, {{"path", path}});
}

}  // namespace

std::string FileAudioProducer::lastPathComponent(const std::string& path) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  if (end == 1 && path[0] == '/') return "/";
  const size_t slash = path.rfind('/', end - 1);
  const size_t begin = slash == std::string::npos ? 0 : slash + 1;
  return path.substr(begin, end - begin);
}

FileAudioProducer::FileAudioProducer(const std::string& path, bool paced, std::stop_token cancel)
    : name_(lastPathComponent(path)), paced_(paced) {
  FfmpegAudioFile::OpenError error;
  file_ = FfmpegAudioFile::open(path, error, std::move(cancel));
  if (file_) return;
  switch (error.failure) {
    case FfmpegAudioFile::Failure::notFound:
      throw fileFailure("caption source file not found: " + path, path);
    case FfmpegAudioFile::Failure::notRegularFile:
      throw fileFailure("caption source file " + path + " is not a regular file", path);
    case FfmpegAudioFile::Failure::cancelled:
      throw fileFailure("opening caption source file " + path + " was cancelled", path);
    case FfmpegAudioFile::Failure::unreadable:
      break;
  }
  throw fileFailure("cannot read caption source file " + path + ": " + error.reason, path);
}

FileAudioProducer::~FileAudioProducer() {
  std::jthread task;
  {
    std::lock_guard guard(lock_);
    task = std::move(task_);
  }
  if (!task.joinable()) return;
  task.request_stop();
  // The feed owns everything it uses, so it may finish on its own if the producer goes away on
  // the feed's own thread (from inside onBuffer), where joining would wait for itself.
  if (task.get_id() == std::this_thread::get_id()) {
    task.detach();
  }
}

void FileAudioProducer::start(OnBuffer onBuffer, OnPath, Log log) {
  std::lock_guard guard(lock_);
  // A producer is started once; after stop (or a second start) there is nothing left to feed.
  if (stopped_ || !file_ || task_.joinable()) return;
  std::shared_ptr<FfmpegAudioFile> file(std::move(file_));
  const bool paced = paced_;
  task_ = std::jthread([file, paced, onBuffer = std::move(onBuffer), log = std::move(log),
                        onEnded = std::move(onEnded_)](std::stop_token stop) {
    feed(stop, *file, paced, onBuffer, log, onEnded);
  });
}

void FileAudioProducer::setOnEnded(OnEnded onEnded) {
  std::lock_guard guard(lock_);
  onEnded_ = std::move(onEnded);
}

void FileAudioProducer::stop() {
  std::stop_source source;
  bool running = false;
  {
    std::lock_guard guard(lock_);
    stopped_ = true;
    file_.reset();
    if (task_.joinable()) {
      source = task_.get_stop_source();
      running = true;
    }
  }
  // Wakes a paced feed out of its wait and abandons a read in flight; the feed writes its closing
  // line on its own thread.
  if (running) source.request_stop();
}

void FileAudioProducer::feed(std::stop_token stop, FfmpegAudioFile& file, bool paced,
                             const OnBuffer& onBuffer, const Log& log, const OnEnded& onEnded) {
  using Clock = std::chrono::steady_clock;
  const AudioFormat format = file.processingFormat();
  const double rate = format.sampleRate;
  const uint32_t chunk = std::max<uint32_t>(1, static_cast<uint32_t>(rate * 0.1));
  const Clock::time_point startInstant = Clock::now();
  double fedSeconds = 0.0;

  std::mutex sleepLock;
  std::condition_variable_any wake;

  while (!stop.stop_requested()) {
    std::optional<PcmBuffer> buffer;
    try {
      buffer.emplace(format, chunk);
    } catch (const std::bad_alloc&) {
      break;
    }
    if (!file.read(*buffer, stop)) break;  // a stop abandons the read at FFmpeg's next check
    if (buffer->frameLength() == 0) break;
    if (onBuffer) onBuffer(*buffer);
    fedSeconds += static_cast<double>(buffer->frameLength()) / rate;
    if (paced) {
      // Every wait is measured from the start, so time spent in onBuffer or oversleeping does
      // not add up; a feed that has fallen behind does not wait until it has caught up.
      const auto due = startInstant + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(fedSeconds));
      if (due > Clock::now()) {
        std::unique_lock sleeping(sleepLock);
        wake.wait_until(sleeping, stop, due, [] { return false; });
      }
    }
  }

  char line[96];
  std::snprintf(line, sizeof line, "[captions] file source reached EOF after %.1fs of audio",
                fedSeconds);
  if (log) log(line);
  // A file that cannot be read further ends like one read to its end; a stop is no end.
  if (onEnded && !stop.stop_requested()) onEnded(std::llround(fedSeconds * 1000.0));
}

}  // namespace quorvel
