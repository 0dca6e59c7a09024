// Audio input figures:
//  - decoding a 10-minute recording and converting it to 16 kHz mono int16 (the recognizer's
//    format), per file format, as a multiple of real time;
//  - capture latency: from writing a click into the sound server's sink to its delivery by the
//    capture producer on the virtual microphone (needs the test server; scripts/bench.sh starts
//    one), which includes the playback stream's own short buffer.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "caption_engine/audio/caption_audio_converter.h"
#include "caption_engine/audio/file_audio_producer.h"
#include "caption_engine/audio/pulse_capture_audio.h"
#include "caption_engine/audio/pulse_connection.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const char* kRecording =
    "/usr/share/pocketsphinx/test/data/librivox/sense_and_sensibility_01_austen_64kb-0870.wav";
constexpr double kFileSeconds = 600.0;

std::filesystem::path gDir;

bool ffmpeg(const std::string& arguments) {
  return std::system(("ffmpeg -hide_banner -nostdin -loglevel error -y " + arguments).c_str()) == 0;
}

// Waits for a flag set from another thread.
struct Latch {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  void open() {
    {
      std::lock_guard g(m);
      done = true;
    }
    cv.notify_all();
  }
  bool wait(std::chrono::milliseconds timeout) {
    std::unique_lock g(m);
    return cv.wait_for(g, timeout, [&] { return done; });
  }
};

bool makeFixtures();

void BM_DecodeAndConvert(benchmark::State& state, const std::string& file) {
  if (!makeFixtures()) {
    state.SkipWithError("could not make the 10-minute fixtures with ffmpeg");
    for (auto _ : state) {
    }
    return;
  }
  for (auto _ : state) {
    quorvel::CaptionAudioConverter converter({quorvel::SampleType::int16, 16000, 1, true});
    uint64_t converted = 0;
    Latch eof;
    const auto started = Clock::now();
    quorvel::FileAudioProducer producer((gDir / file).string(), false);
    producer.start(
        [&](const quorvel::PcmBuffer& buffer) {
          auto result = converter.convert(buffer);
          if (result.buffer) converted += result.buffer->frameLength();
        },
        nullptr, [&](const std::string&) { eof.open(); });
    if (!eof.wait(600s)) state.SkipWithError("the feed did not end");
    producer.stop();
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    state.SetIterationTime(seconds);
    state.counters["x_realtime"] = kFileSeconds / seconds;
    state.counters["out_seconds"] = static_cast<double>(converted) / 16000.0;
  }
}

// A playback stream into ci_sink with a short buffer, for writing clicks at known moments.
class ClickPlayer {
 public:
  bool open() {
    std::string error;
    connection_ = quorvel::PulseConnection::connect(2s, error);
    if (!connection_) return false;
    quorvel::PulseConnection::Lock lock(*connection_);
    const pa_sample_spec sampleSpec{PA_SAMPLE_S16LE, 48000, 2};
    stream_ = pa_stream_new(connection_->context(), "bench clicks", &sampleSpec, nullptr);
    if (!stream_) return false;
    pa_stream_set_state_callback(
        stream_, [](pa_stream*, void* c) { static_cast<quorvel::PulseConnection*>(c)->signal(); },
        connection_.get());
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = static_cast<uint32_t>(pa_usec_to_bytes(10 * PA_USEC_PER_MSEC, &sampleSpec));
    attr.prebuf = 0;  // play as soon as anything is written
    attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(-1);
    if (pa_stream_connect_playback(stream_, "ci_sink", &attr, PA_STREAM_ADJUST_LATENCY, nullptr,
                                   nullptr) < 0) {
      return false;
    }
    connection_->waitLocked([&] { return pa_stream_get_state(stream_) != PA_STREAM_CREATING; },
                            Clock::now() + 2s);
    return pa_stream_get_state(stream_) == PA_STREAM_READY;
  }
  ~ClickPlayer() {
    if (stream_) {
      quorvel::PulseConnection::Lock lock(*connection_);
      pa_stream_disconnect(stream_);
      pa_stream_unref(stream_);
    }
  }
  // Writes 5 ms of a full-scale 1 kHz tone and returns when it was handed to the server.
  Clock::time_point click() {
    std::vector<int16_t> burst(240 * 2);
    for (size_t i = 0; i < 240; ++i) {
      const auto v = static_cast<int16_t>(30000 * std::sin(2 * M_PI * 1000 * i / 48000.0));
      burst[2 * i] = burst[2 * i + 1] = v;
    }
    quorvel::PulseConnection::Lock lock(*connection_);
    const auto at = Clock::now();
    pa_stream_write(stream_, burst.data(), burst.size() * sizeof(int16_t), nullptr, 0,
                    PA_SEEK_RELATIVE_ON_READ);
    return at;
  }

 private:
  std::unique_ptr<quorvel::PulseConnection> connection_;
  pa_stream* stream_ = nullptr;
};

void BM_CaptureLatency(benchmark::State& state) {
  quorvel::PulseCaptureAudio audio;
  std::shared_ptr<quorvel::CaptionAudioProducer> producer;
  try {
    producer = audio.makeProducer(quorvel::CaptionAudioSource::device("ci_mic"));
  } catch (const std::exception& e) {
    state.SkipWithError("no test sound server (run scripts/bench.sh)");
    for (auto _ : state) {
    }
    return;
  }
  ClickPlayer player;
  if (!player.open()) {
    state.SkipWithError("cannot play into ci_sink");
    for (auto _ : state) {
    }
    return;
  }
  std::mutex m;
  std::condition_variable cv;
  std::optional<Clock::time_point> heard;
  bool listening = false;
  producer->start(
      [&](const quorvel::PcmBuffer& buffer) {
        const int16_t* s = buffer.channelData<int16_t>(0);
        if (!s) return;
        bool loud = false;
        for (uint32_t f = 0; f < buffer.frameLength() && !loud; ++f)
          loud = std::abs(s[f * 2]) > 3000;
        if (!loud) return;
        const auto now = Clock::now();
        {
          std::lock_guard g(m);
          if (!listening || heard) return;
          heard = now;
        }
        cv.notify_all();
      },
      nullptr, nullptr);
  // Warm-up: the first capture of an idle chain is slow; let it settle before timing.
  std::this_thread::sleep_for(1s);

  std::vector<double> latencies;
  for (auto _ : state) {
    {
      std::lock_guard g(m);
      heard.reset();
      listening = true;
    }
    const auto written = player.click();
    std::unique_lock g(m);
    if (!cv.wait_for(g, 3s, [&] { return heard.has_value(); })) {
      state.SkipWithError("the click never arrived");
      break;
    }
    const double seconds = std::chrono::duration<double>(*heard - written).count();
    listening = false;
    g.unlock();
    state.SetIterationTime(seconds);
    latencies.push_back(seconds * 1000);
    std::this_thread::sleep_for(150ms);  // let the click pass before the next one
  }
  producer->stop();
  if (!latencies.empty()) {
    std::sort(latencies.begin(), latencies.end());
    state.counters["median_ms"] = latencies[latencies.size() / 2];
    state.counters["max_ms"] = latencies.back();
    state.counters["min_ms"] = latencies.front();
  }
}

// Ten minutes of speech (the recording looped), 48 kHz stereo, in each format; made on first use.
bool makeFixtures() {
  static const bool made = [] {
    char pattern[] = "/tmp/quorvel-audio-bench-XXXXXX";
    gDir = mkdtemp(pattern);
    const std::string source = (gDir / "speech.wav").string();
    bool ok = ffmpeg("-stream_loop -1 -i " + std::string(kRecording) + " -t " +
                     std::to_string(static_cast<int>(kFileSeconds)) + " -ar 48000 -ac 2 " + source);
    const std::pair<const char*, const char*> formats[] = {
        {"speech.flac", ""},
        {"speech.ogg", "-c:a libvorbis"},
        {"speech.opus", "-c:a libopus"},
        {"speech.mp3", "-c:a libmp3lame"},
        {"speech.m4a", "-c:a aac"},
    };
    for (auto [name, codec] : formats) {
      ok = ok && ffmpeg("-i " + source + " " + codec + " " + (gDir / name).string());
    }
    return ok;
  }();
  return made;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  for (const char* name :
       {"speech.wav", "speech.flac", "speech.ogg", "speech.opus", "speech.mp3", "speech.m4a"}) {
    benchmark::RegisterBenchmark(("DecodeAndConvert10min/" + std::string(name)).c_str(),
                                 BM_DecodeAndConvert, std::string(name))
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(2);
  }
  benchmark::RegisterBenchmark("CaptureLatency/click_to_delivery", BM_CaptureLatency)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond)
      ->Iterations(20);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (!gDir.empty()) std::filesystem::remove_all(gDir);
  return 0;
}
