// Capture whose input goes away and comes back, against real servers. Device losses use a sink and
// virtual microphone of the test's own on the shared test server (ci_sink and ci_mic stay as they
// are); changes of the default input and killing the server use a private server of the test's
// own with two sources that run by themselves, told apart by their rates (Sine-A 48 kHz, Sine-B
// 44.1 kHz; sines on PulseAudio, silent on PipeWire).
// Timings are printed as "[ measured ]" lines; the bounds asserted are only "it does not hang".
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <iostream>

#include "caption_engine/audio/pulse_capture_audio.h"
#include "caption_engine/audio/pulse_sources.h"
#include "tests/audio/audio_test_support.h"
#include "tests/audio/pulse_test_server.h"

namespace quorvel {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::Clock;
using testing::PrivateServer;
using testing::Recorder;
using testing::ServerAddress;
using testing::ServerModule;
using testing::TempDir;

constexpr auto kWait = 10s;
// Generous bounds that only say "it does not hang".
constexpr auto kPrompt = 3s;
constexpr auto kStopBound = 2s;

bool serverRequired() {
  const char* v = std::getenv("QUORVEL_TEST_AUDIO");
  return v && std::string(v) == "1";
}

std::string word(const CaptionAudioPathEvent& event) {
  return std::visit(
      [](const auto& e) -> std::string {
        using E = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<E, CaptionAudioPathEvent::Held>) return "held " + e.reason;
        if constexpr (std::is_same_v<E, CaptionAudioPathEvent::FellBack>)
          return "fellBack " + e.input;
        if constexpr (std::is_same_v<E, CaptionAudioPathEvent::Restored>)
          return "restored " + e.input;
        return "resumed";
      },
      event.value());
}

std::vector<std::string> words(Recorder& recorder) {
  std::vector<std::string> out;
  for (const auto& p : recorder.pathEntries()) out.push_back(word(p.event));
  return out;
}

Clock::time_point pathAt(Recorder& recorder, size_t index) {
  return recorder.pathEntries().at(index).at;
}

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

void report(const std::string& what, const std::vector<double>& values) {
  std::string all;
  for (double v : values) all += (all.empty() ? "" : " ") + std::to_string(static_cast<int>(v));
  std::cout << "[ measured ] " << what << ": median " << median(values) << " ms (runs: " << all
            << ")" << std::endl;
}

// Stops the producer, says how long that took, and checks that nothing is delivered afterwards
// (given `settle` to show up, for instance while its source comes back).
Clock::duration stopAndCheckSilence(CaptionAudioProducer& producer, Recorder& recorder,
                                    const std::function<void()>& afterStop = nullptr) {
  const auto before = Clock::now();
  producer.stop();
  const auto took = Clock::now() - before;
  const size_t buffers = recorder.deliveryCount();
  const size_t paths = recorder.pathEntries().size();
  const size_t lines = recorder.logLines().size();
  if (afterStop) afterStop();
  EXPECT_FALSE(recorder.waitUntil([] { return false; }, 500ms));
  EXPECT_EQ(recorder.deliveryCount(), buffers) << "a buffer after stop";
  EXPECT_EQ(recorder.pathEntries().size(), paths) << "a path event after stop";
  EXPECT_EQ(recorder.logLines().size(), lines) << "a line after stop";
  return took;
}

// Counts callbacks that overlap one another (the producer promises one at a time).
class Overlaps {
 public:
  template <class Arg>
  std::function<void(const Arg&)> wrap(std::function<void(const Arg&)> f) {
    return [this, f](const Arg& a) {
      if (inside_.fetch_add(1) != 0) ++overlaps_;
      f(a);
      inside_.fetch_sub(1);
    };
  }
  int count() const { return overlaps_; }

 private:
  std::atomic<int> inside_{0};
  std::atomic<int> overlaps_{0};
};

// ---------------------------------------------------------------------------------------------
// Device losses on the shared test server.

class PulseCapturePathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!quorvelAudioInputDevices(2s).reachable) {
      if (serverRequired()) FAIL() << "QUORVEL_TEST_AUDIO=1 but no sound server is reachable";
      GTEST_SKIP() << "no sound server (start one with scripts/test-audio-server.sh)";
    }
  }
};

// A virtual microphone of the test's own: a null sink with silence playing into it and a remap
// source over its monitor, which can be unloaded and loaded again under the same name.
struct OwnMicrophone {
  explicit OwnMicrophone(const std::string& what)
      : tag(what + "_" + std::to_string(getpid())),
        name("quorvel_mic_" + tag),
        label("Mic-" + tag),
        sink("module-null-sink sink_name=quorvel_sink_" + tag +
             " rate=48000 sink_properties=device.description=Sink-" + tag),
        source("module-remap-source source_name=" + name + " master=quorvel_sink_" + tag +
               ".monitor source_properties=device.description=" + label),
        silence(testing::quietly({"pacat", "--playback", "-d", "quorvel_sink_" + tag, "--raw",
                                  "--format=s16le", "--rate=48000", "--channels=2", "/dev/zero"})) {
  }

  std::string tag;
  std::string name;
  std::string label;
  ServerModule sink;
  ServerModule source;
  ChildProcess silence;
};

// Whether the server lists the source now. Asked through pactl, in a process of its own: a second
// client connection in the test process while a producer runs would share the client library's
// packet pool across threads, which the thread sanitizer cannot follow.
bool sourceListed(const std::string& name) {
  return testing::run("pactl list short sources 2>/dev/null | awk -F'\\t' '$2 == \"" + name +
                      "\" { print \"yes\" }'") == "yes";
}

std::string goneLine(const std::string& label) {
  return "[captions] audio input " + label + " is gone; capture ended";
}

TEST_F(PulseCapturePathTest, ALostDeviceHoldsAndResumesWhenItsSourceReturns) {
  OwnMicrophone mic("lost");
  ASSERT_TRUE(mic.sink.loaded() && mic.source.loaded());
  PulseCaptureAudio audio;
  Recorder recorder;
  auto producer = audio.makeProducer(CaptionAudioSource::device(mic.name));
  producer->start(recorder.onBuffer(), recorder.onPath(), recorder.log());
  ASSERT_TRUE(recorder.waitForFrames(4800, kWait)) << "no audio from " << mic.name;

  std::vector<double> toHeld, toResumed;
  std::vector<std::string> expected;
  for (int run = 0; run < 5; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    const auto unloadedAt = Clock::now();
    mic.source.unload();
    ASSERT_TRUE(recorder.waitForPathEvents(expected.size() + 1, kWait));
    expected.push_back("held input_lost");
    EXPECT_EQ(words(recorder), expected);
    toHeld.push_back(ms(pathAt(recorder, expected.size() - 1) - unloadedAt));
    EXPECT_LT(pathAt(recorder, expected.size() - 1) - unloadedAt, kPrompt);
    EXPECT_TRUE(recorder.logEntry(goneLine(mic.label)));

    const uint64_t framesHeld = recorder.channel(0).size();
    const auto loadedAt = Clock::now();
    ASSERT_TRUE(mic.source.load());
    ASSERT_TRUE(recorder.waitForPathEvents(expected.size() + 1, kWait));
    expected.push_back("resumed");
    EXPECT_EQ(words(recorder), expected);
    toResumed.push_back(ms(pathAt(recorder, expected.size() - 1) - loadedAt));
    EXPECT_TRUE(recorder.waitForFrames(framesHeld + 4800, kWait)) << "no audio after resuming";
  }
  EXPECT_TRUE(
      recorder.logEntry("[captions] audio input " + mic.label + " is back; capture resumed"));
  report("unload of a capture source to held", toHeld);
  report("reload of the capture source to resumed", toResumed);

  // Stopped while held: prompt, and silent while the source comes back.
  mic.source.unload();
  ASSERT_TRUE(recorder.waitForPathEvents(expected.size() + 1, kWait));
  EXPECT_LT(stopAndCheckSilence(*producer, recorder, [&] { mic.source.load(); }), kStopBound);
}

// Path events and lines from before start are delivered after it, in order.
TEST_F(PulseCapturePathTest, ALossBeforeStartIsReportedOnceStarted) {
  OwnMicrophone mic("early");
  ASSERT_TRUE(mic.sink.loaded() && mic.source.loaded());
  PulseCaptureAudio audio;
  Recorder recorder;
  auto producer = audio.makeProducer(CaptionAudioSource::device(mic.name));
  mic.source.unload();
  // Nothing is delivered before start; the loss is told once it has begun.
  producer->start(recorder.onBuffer(), recorder.onPath(), recorder.log());
  ASSERT_TRUE(recorder.waitForPathEvents(1, kWait));
  EXPECT_EQ(words(recorder), std::vector<std::string>{"held input_lost"});
  const auto lines = recorder.logLines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "[captions] capturing audio from " + mic.label);
  EXPECT_EQ(lines[1], goneLine(mic.label));
  ASSERT_TRUE(mic.source.load());
  ASSERT_TRUE(recorder.waitForPathEvents(2, kWait));
  EXPECT_EQ(words(recorder), (std::vector<std::string>{"held input_lost", "resumed"}));
  EXPECT_TRUE(recorder.waitForFrames(4800, kWait));
  producer->stop();
}

// A suspended source delivers nothing while the server reports it not running: held after a
// second of that, resumed by its first buffer once it runs again. PipeWire does not suspend a
// source that is being recorded (it accepts the request and the source runs on): there capture
// goes on and nothing is reported lost.
TEST_F(PulseCapturePathTest, ASuspendedSourceHoldsAndResumesWhenItRunsAgain) {
  OwnMicrophone mic("quiet");
  ASSERT_TRUE(mic.sink.loaded() && mic.source.loaded());
  PulseCaptureAudio audio;
  Recorder recorder;
  auto producer = audio.makeProducer(CaptionAudioSource::device(mic.name));
  producer->start(recorder.onBuffer(), recorder.onPath(), recorder.log());
  ASSERT_TRUE(recorder.waitForFrames(4800, kWait));

  const auto suspendedAt = Clock::now();
  ASSERT_EQ(std::system(("pactl suspend-source " + mic.name + " 1").c_str()), 0);
  if (testing::testServerKind() == testing::TestServerKind::pipewire) {
    // Two seconds of audio: long enough for a quiet stream to have counted as lost.
    const uint64_t frames = recorder.channel(0).size();
    EXPECT_TRUE(recorder.waitForFrames(frames + 96000, kWait)) << "capture stopped";
    EXPECT_TRUE(recorder.pathEntries().empty());
    EXPECT_FALSE(recorder.logEntry(goneLine(mic.label)));
    std::system(("pactl suspend-source " + mic.name + " 0").c_str());
    producer->stop();
    return;
  }
  ASSERT_TRUE(recorder.waitForPathEvents(1, kWait));
  EXPECT_EQ(words(recorder), std::vector<std::string>{"held input_lost"});
  EXPECT_TRUE(recorder.logEntry(goneLine(mic.label)));
  report("suspend of a capture source to held", {ms(pathAt(recorder, 0) - suspendedAt)});

  const uint64_t framesHeld = recorder.channel(0).size();
  ASSERT_EQ(std::system(("pactl suspend-source " + mic.name + " 0").c_str()), 0);
  ASSERT_TRUE(recorder.waitForPathEvents(2, kWait));
  EXPECT_EQ(words(recorder), (std::vector<std::string>{"held input_lost", "resumed"}));
  EXPECT_TRUE(recorder.waitForFrames(framesHeld + 4800, kWait));

  // Stopped while held on a quiet source: prompt.
  ASSERT_EQ(std::system(("pactl suspend-source " + mic.name + " 1").c_str()), 0);
  ASSERT_TRUE(recorder.waitForPathEvents(3, kWait));
  EXPECT_LT(stopAndCheckSilence(
                *producer, recorder,
                [&] { std::system(("pactl suspend-source " + mic.name + " 0").c_str()); }),
            kStopBound);
}

// The sink under a virtual microphone goes away and comes back. PulseAudio takes the microphone
// away with its sink: capture holds with the loss logged, and resumes once both are back.
// PipeWire keeps the microphone, connected to another sink's monitor or to nothing, delivering
// silence and reported running: it is still an input that delivers, so nothing is reported lost.
// Either way, what is then played into the returned sink is heard.
TEST_F(PulseCapturePathTest, AMicrophoneWhoseSinkGoesAwayIsHeardAgainWhenItIsBack) {
  OwnMicrophone mic("master");
  ASSERT_TRUE(mic.sink.loaded() && mic.source.loaded());
  TempDir dir;
  const std::string tone = dir.file("tone.wav");
  ASSERT_TRUE(
      testing::ffmpeg("-f lavfi -i sine=frequency=1000:sample_rate=48000:duration=10 "
                      "-ac 2 " +
                      tone));
  PulseCaptureAudio audio;
  Recorder recorder;
  // The tone, told apart by its pitch from anything other tests play into ci_sink meanwhile.
  std::atomic<bool> heard{false};
  recorder.setHook([&](const PcmBuffer& buffer) {
    const auto x = testing::samples(buffer, 0);
    if (x.size() < 480 || testing::rms(x) < 0.05) return;  // the tone is at -21 dBFS
    const double f = testing::sineFrequency(x, buffer.format().sampleRate, 0, x.size());
    if (std::abs(f - 1000) < 10) heard = true;
  });
  auto producer = audio.makeProducer(CaptionAudioSource::device(mic.name));
  producer->start(recorder.onBuffer(), recorder.onPath(), recorder.log());
  ASSERT_TRUE(recorder.waitForFrames(4800, kWait));

  const auto unloadedAt = Clock::now();
  mic.sink.unload();
  const bool micStays = sourceListed(mic.name);
  std::cout << "[ measured ] the microphone " << (micStays ? "stays" : "goes with its sink")
            << std::endl;
  if (micStays) {
    // Two seconds of audio: long enough for a quiet stream to have counted as lost.
    const uint64_t frames = recorder.channel(0).size();
    EXPECT_TRUE(recorder.waitForFrames(frames + 96000, kWait)) << "capture stopped";
    EXPECT_TRUE(recorder.pathEntries().empty());
    EXPECT_FALSE(recorder.logEntry(goneLine(mic.label)));
    ASSERT_TRUE(mic.sink.load());
  } else {
    ASSERT_TRUE(recorder.waitForPathEvents(1, kWait));
    EXPECT_EQ(words(recorder), std::vector<std::string>{"held input_lost"});
    EXPECT_TRUE(recorder.logEntry(goneLine(mic.label)));
    report("removal of the microphone's sink to held", {ms(pathAt(recorder, 0) - unloadedAt)});
    ASSERT_TRUE(mic.sink.load());
    mic.source.unload();  // its module went with the sink
    ASSERT_TRUE(mic.source.load());
    ASSERT_TRUE(recorder.waitForPathEvents(2, kWait));
    EXPECT_EQ(words(recorder), (std::vector<std::string>{"held input_lost", "resumed"}));
  }
  ChildProcess player(testing::quietly({"paplay", "-d", "quorvel_sink_" + mic.tag, tone}));
  EXPECT_TRUE(recorder.waitUntil([&] { return heard.load(); }, kWait))
      << "nothing played into the returned sink was heard";
  producer->stop();
}

// Releasing the last reference to the producer inside one of its own callbacks neither deadlocks
// nor touches freed memory, and nothing is delivered afterwards.
TEST_F(PulseCapturePathTest, TheProducerMayBeReleasedInsideItsOwnCallback) {
  PulseCaptureAudio audio;
  Recorder recorder;
  std::shared_ptr<CaptionAudioProducer> producer =
      audio.makeProducer(CaptionAudioSource::device("ci_mic"));
  std::atomic<bool> releasing{false};
  std::promise<void> released;
  recorder.setHook([&](const PcmBuffer&) {
    if (releasing.exchange(true)) return;
    producer.reset();
    released.set_value();
  });
  producer->start(recorder.onBuffer(), recorder.onPath(), recorder.log());
  ASSERT_EQ(released.get_future().wait_for(kWait), std::future_status::ready);
  const size_t atRelease = recorder.deliveryCount();
  EXPECT_FALSE(recorder.waitUntil([] { return false; }, 500ms));
  EXPECT_EQ(recorder.deliveryCount(), atRelease);
}

// ---------------------------------------------------------------------------------------------
// The default input and the server itself, on a private server.

const std::string kSineA = testing::selfRunningSource("quorvel_a", "Sine-A", 48000, 440);
const std::string kSineB = testing::selfRunningSource("quorvel_b", "Sine-B", 44100, 1000);

class PrivateServerTest : public ::testing::Test {
 protected:
  // Starts the server, or skips the test when there is no server program to start.
  void startServer(PrivateServer& server) {
    if (server.start()) return;
    if (serverRequired()) FAIL() << "cannot start a private sound server";
    GTEST_SKIP() << "cannot start a private sound server";
  }
};

TEST_F(PrivateServerTest, TheDefaultInputFallsBackWithoutAHoldAndIsRestored) {
  PrivateServer server;
  ASSERT_NO_FATAL_FAILURE(startServer(server));
  if (IsSkipped()) return;
  ServerAddress address(server.address());
  ServerModule a(kSineA), b(kSineB);
  ASSERT_TRUE(a.loaded() && b.loaded());
  ASSERT_TRUE(server.setDefaultSource("quorvel_a"));

  PulseCaptureAudio audio;
  Recorder recorder;
  auto producer = audio.makeProducer(CaptionAudioSource::systemDefault());
  EXPECT_EQ(producer->name(), "Sine-A");
  producer->start(recorder.onBuffer(), recorder.onPath(), recorder.log());
  ASSERT_TRUE(recorder.waitForFramesAt(48000, 4800, kWait));

  a.unload();
  ASSERT_TRUE(recorder.waitForPathEvents(1, kWait));
  EXPECT_EQ(words(recorder), std::vector<std::string>{"fellBack Sine-B"});
  EXPECT_TRUE(recorder.waitForFramesAt(44100, 4410, kWait)) << "no audio from the fallback";
  EXPECT_TRUE(recorder.logEntry(goneLine("Sine-A")));
  EXPECT_TRUE(recorder.logEntry("[captions] capture moved to audio input Sine-B"));

  const uint64_t framesA = recorder.framesAt(48000);
  ASSERT_TRUE(a.load());
  ASSERT_TRUE(recorder.waitForPathEvents(2, kWait));
  EXPECT_EQ(words(recorder), (std::vector<std::string>{"fellBack Sine-B", "restored Sine-A"}));
  EXPECT_TRUE(recorder.waitForFramesAt(48000, framesA + 4800, kWait)) << "no audio once restored";
  EXPECT_TRUE(recorder.logEntry("[captions] capture moved back to audio input Sine-A"));

  // Stopped while on a fallback: prompt.
  a.unload();
  ASSERT_TRUE(recorder.waitForPathEvents(3, kWait));
  EXPECT_LT(stopAndCheckSilence(*producer, recorder, [&] { a.load(); }), kStopBound);
}

// With nothing to fall back to the default input holds, and resumes on whichever input comes
// first: the preferred one, or another (reported as a fallback before the resumption).
TEST_F(PrivateServerTest, TheDefaultInputHoldsWithNothingToFallBackTo) {
  for (bool preferredFirst : {true, false}) {
    SCOPED_TRACE(preferredFirst ? "the preferred input comes back first" : "another comes first");
    PrivateServer server;
    ASSERT_NO_FATAL_FAILURE(startServer(server));
    if (IsSkipped()) return;
    ServerAddress address(server.address());
    ServerModule a(kSineA), b(kSineB);
    ASSERT_TRUE(server.setDefaultSource("quorvel_a"));

    PulseCaptureAudio audio;
    Recorder recorder;
    auto producer = audio.makeProducer(CaptionAudioSource::systemDefault());
    producer->start(recorder.onBuffer(), recorder.onPath(), recorder.log());
    ASSERT_TRUE(recorder.waitForFramesAt(48000, 4800, kWait));
    b.unload();
    a.unload();
    ASSERT_TRUE(recorder.waitForPathEvents(1, kWait));
    EXPECT_EQ(words(recorder), std::vector<std::string>{"held input_lost"});

    if (preferredFirst) {
      const uint64_t framesA = recorder.framesAt(48000);
      ASSERT_TRUE(a.load());
      ASSERT_TRUE(recorder.waitForPathEvents(2, kWait));
      EXPECT_EQ(words(recorder), (std::vector<std::string>{"held input_lost", "resumed"}));
      EXPECT_TRUE(recorder.waitForFramesAt(48000, framesA + 4800, kWait));
    } else {
      ASSERT_TRUE(b.load());
      ASSERT_TRUE(recorder.waitForPathEvents(3, kWait));
      EXPECT_EQ(words(recorder),
                (std::vector<std::string>{"held input_lost", "fellBack Sine-B", "resumed"}));
      EXPECT_TRUE(recorder.waitForFramesAt(44100, 4410, kWait));
      ASSERT_TRUE(a.load());
      ASSERT_TRUE(recorder.waitForPathEvents(4, kWait));
      EXPECT_EQ(words(recorder).back(), "restored Sine-A");
    }
    producer->stop();
  }
}

// The server killed: held at once; started again at the same address: capture resumes there,
// every callback still one at a time. Stopped while reconnecting: prompt.
TEST_F(PrivateServerTest, AKilledServerHoldsAndCaptureResumesWhenItIsBack) {
  for (auto source :
       {CaptionAudioSource::device("quorvel_a"), CaptionAudioSource::systemDefault()}) {
    SCOPED_TRACE(source.isSystemDefault() ? "the default input" : "a device");
    PrivateServer server("load-module " + kSineA + "\nset-default-source quorvel_a\n");
    ASSERT_NO_FATAL_FAILURE(startServer(server));
    if (IsSkipped()) return;
    ServerAddress address(server.address());

    PulseCaptureAudio audio;
    Recorder recorder;
    Overlaps overlaps;
    auto producer = audio.makeProducer(source);
    producer->start(overlaps.wrap(recorder.onBuffer()), overlaps.wrap(recorder.onPath()),
                    overlaps.wrap(recorder.log()));
    ASSERT_TRUE(recorder.waitForFramesAt(48000, 4800, kWait));

    std::vector<double> toHeld, toResumed;
    std::vector<std::string> expected;
    for (int run = 0; run < 3; ++run) {
      SCOPED_TRACE("run " + std::to_string(run));
      const auto killedAt = Clock::now();
      server.kill();
      ASSERT_TRUE(recorder.waitForPathEvents(expected.size() + 1, kWait));
      expected.push_back("held input_lost");
      EXPECT_EQ(words(recorder), expected);
      toHeld.push_back(ms(pathAt(recorder, expected.size() - 1) - killedAt));
      EXPECT_LT(pathAt(recorder, expected.size() - 1) - killedAt, kPrompt);

      const uint64_t framesHeld = recorder.framesAt(48000);
      const auto startedAt = Clock::now();
      ASSERT_TRUE(server.start());
      ASSERT_TRUE(recorder.waitForPathEvents(expected.size() + 1, kWait));
      expected.push_back("resumed");
      EXPECT_EQ(words(recorder), expected);
      toResumed.push_back(ms(pathAt(recorder, expected.size() - 1) - startedAt));
      EXPECT_TRUE(recorder.waitForFramesAt(48000, framesHeld + 4800, kWait));
    }
    EXPECT_TRUE(recorder.logEntry(goneLine("Sine-A")));
    EXPECT_TRUE(recorder.logEntry("[captions] the sound server went away; reconnecting"));
    EXPECT_TRUE(recorder.logEntry("[captions] reconnected to the sound server"));
    report("kill of the server to held", toHeld);
    report("restart of the server to resumed", toResumed);

    // Killed once more and left down: the producer keeps trying until stopped.
    server.kill();
    ASSERT_TRUE(recorder.waitForPathEvents(expected.size() + 1, kWait));
    const auto took = stopAndCheckSilence(*producer, recorder, [&] { server.start(); });
    EXPECT_LT(took, kStopBound);
    report("stop during reconnection", {ms(took)});
    EXPECT_EQ(overlaps.count(), 0);
  }
}

}  // namespace
}  // namespace quorvel
