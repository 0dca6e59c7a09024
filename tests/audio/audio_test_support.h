// Test support for producers: a recorder of what a producer delivers (buffers, log lines, when
// they came) with bounded waits, and audio fixtures made with the ffmpeg
// command-line tool from a real recording.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "caption_engine/audio/caption_audio_platform.h"
#include "tests/audio/audio_test_signals.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace quorvel::testing {

using Clock = std::chrono::steady_clock;

// The recording the fixtures are made from (Debian's pocketsphinx-testdata: 16 kHz mono, 7.1 s).
inline const char* kSpeechRecording =
    "/usr/share/pocketsphinx/test/data/librivox/sense_and_sensibility_01_austen_64kb-0870.wav";

class Recorder {
 public:
  struct Delivery {
    PcmBuffer buffer;
    Clock::time_point at;
  };

  CaptionAudioProducer::OnBuffer onBuffer() {
    return [this](const PcmBuffer& buffer) {
      std::function<void(const PcmBuffer&)> hook;
      {
        std::lock_guard guard(lock_);
        deliveries_.push_back({buffer, Clock::now()});
        hook = hook_;
      }
      changed_.notify_all();
      if (hook) hook(buffer);
    };
  }
  CaptionAudioProducer::Log log() {
    return [this](const std::string& line) {
      {
        std::lock_guard guard(lock_);
        logs_.push_back({line, Clock::now(), deliveries_.size()});
      }
      changed_.notify_all();
    };
  }
  // Path events as they came, with how many buffers had been delivered before each.
  struct PathEntry {
    CaptionAudioPathEvent event;
    Clock::time_point at;
    size_t buffersBefore;
  };
  CaptionAudioProducer::OnPath onPath() {
    return [this](const CaptionAudioPathEvent& event) {
      {
        std::lock_guard guard(lock_);
        paths_.push_back({event, Clock::now(), deliveries_.size()});
      }
      changed_.notify_all();
    };
  }
  std::vector<PathEntry> pathEntries() {
    std::lock_guard guard(lock_);
    return paths_;
  }
  bool waitForPathEvents(size_t count,
                         std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    return waitUntil([&] { return paths_.size() >= count; }, timeout);
  }
  // Frames delivered so far in buffers of the given sample rate.
  uint64_t framesAt(double sampleRate) {
    std::lock_guard guard(lock_);
    return framesAtLocked(sampleRate);
  }
  bool waitForFramesAt(double sampleRate, uint64_t frames,
                       std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    return waitUntil([&] { return framesAtLocked(sampleRate) >= frames; }, timeout);
  }
  // Runs on the delivery thread after each buffer has been recorded.
  void setHook(std::function<void(const PcmBuffer&)> hook) {
    std::lock_guard guard(lock_);
    hook_ = std::move(hook);
  }

  // Waits until `done` holds (checked under the recorder's lock) or the timeout passes.
  bool waitUntil(const std::function<bool()>& done,
                 std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, timeout, done);
  }
  bool waitForLogContaining(const std::string& text,
                            std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    return waitUntil([&] { return findLog(text) != nullptr; }, timeout);
  }
  bool waitForFrames(uint64_t frames,
                     std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    return waitUntil([&] { return framesLocked() >= frames; }, timeout);
  }

  std::vector<Delivery> deliveries() {
    std::lock_guard guard(lock_);
    return deliveries_;
  }
  size_t deliveryCount() {
    std::lock_guard guard(lock_);
    return deliveries_.size();
  }
  std::vector<std::string> logLines() {
    std::lock_guard guard(lock_);
    std::vector<std::string> lines;
    for (auto& l : logs_) lines.push_back(l.line);
    return lines;
  }
  // When the first line containing `text` came, and how many buffers had been delivered by then.
  std::optional<std::pair<Clock::time_point, size_t>> logEntry(const std::string& text) {
    std::lock_guard guard(lock_);
    if (auto* l = findLog(text)) return std::make_pair(l->at, l->buffersBefore);
    return std::nullopt;
  }
  // All delivered samples of one channel, in order.
  std::vector<double> channel(uint32_t c = 0) {
    std::lock_guard guard(lock_);
    std::vector<double> all;
    for (auto& d : deliveries_) {
      auto part = samples(d.buffer, c);
      all.insert(all.end(), part.begin(), part.end());
    }
    return all;
  }

 private:
  struct LogEntry {
    std::string line;
    Clock::time_point at;
    size_t buffersBefore;
  };
  const LogEntry* findLog(const std::string& text) const {
    for (auto& l : logs_) {
      if (l.line.find(text) != std::string::npos) return &l;
    }
    return nullptr;
  }
  uint64_t framesAtLocked(double sampleRate) const {
    uint64_t n = 0;
    for (auto& d : deliveries_) {
      if (d.buffer.format().sampleRate == sampleRate) n += d.buffer.frameLength();
    }
    return n;
  }
  uint64_t framesLocked() const {
    uint64_t n = 0;
    for (auto& d : deliveries_) n += d.buffer.frameLength();
    return n;
  }

  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<Delivery> deliveries_;
  std::vector<LogEntry> logs_;
  std::vector<PathEntry> paths_;
  std::function<void(const PcmBuffer&)> hook_;
};

using support::TempDir;

// Runs the ffmpeg command-line tool quietly with the given arguments; true when it succeeded.
inline bool ffmpeg(const std::string& arguments) {
  const std::string command = "ffmpeg -hide_banner -nostdin -loglevel error -y " + arguments;
  return std::system(command.c_str()) == 0;
}

// Reads a whole file as raw float32 samples (as made by ffmpeg -f f32le).
inline std::vector<float> readRawFloats(const std::string& path) {
  std::vector<float> data;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    float chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, sizeof(float), 4096, f)) > 0)
      data.insert(data.end(), chunk, chunk + n);
    std::fclose(f);
  }
  return data;
}

// The largest normalized cross-correlation of `a` against `b` shifted by a lag in
// [minLag, maxLag] (a[i] against b[i + lag]), counting only lags where all of `a` lies within `b`,
// and the lag where it is found.
inline std::pair<double, long> bestCorrelation(const std::vector<double>& a,
                                               const std::vector<double>& b, long minLag,
                                               long maxLag) {
  double best = -2.0;
  long bestLag = 0;
  const long na = static_cast<long>(a.size());
  const long nb = static_cast<long>(b.size());
  for (long lag = std::max(0L, minLag); lag <= std::min(maxLag, nb - na); ++lag) {
    double ab = 0, aa = 0, bb = 0;
    for (long i = 0; i < na; ++i) {
      ab += a[i] * b[i + lag];
      aa += a[i] * a[i];
      bb += b[i + lag] * b[i + lag];
    }
    if (aa <= 0 || bb <= 0) continue;
    const double r = ab / std::sqrt(aa * bb);
    if (r > best) {
      best = r;
      bestLag = lag;
    }
  }
  return {best, bestLag};
}

using support::ChildProcess;

// A program (found on PATH) started with its standard streams on /dev/null; killed when its
// ChildProcess goes.
inline ChildProcess::Options quietly(std::vector<std::string> argv) {
  return {std::move(argv),
          {},
          ChildProcess::Stream::devNull,
          ChildProcess::Stream::devNull,
          ChildProcess::Stream::devNull};
}

}  // namespace quorvel::testing
