// Capture against a real sound server: the headless test server of scripts/test-audio-server.sh
// (a null sink "ci_sink" whose monitor feeds the virtual microphone "ci_mic", the default source).
// Without a server these tests are skipped, unless QUORVEL_TEST_AUDIO=1 says one must be there.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "caption_engine/audio/caption_audio_error.h"
#include "caption_engine/audio/pulse_capture_audio.h"
#include "caption_engine/audio/pulse_capture_producer.h"
#include "caption_engine/audio/pulse_sources.h"
#include "tests/audio/audio_test_support.h"
#include "tests/audio/pulse_test_server.h"

namespace quorvel {
namespace {

using namespace std::chrono_literals;
using testing::Clock;
using testing::Recorder;
using testing::ServerAddress;
using testing::ServerModule;
using testing::TempDir;

bool serverRequired() {
  const char* v = std::getenv("QUORVEL_TEST_AUDIO");
  return v && std::string(v) == "1";
}

// What an audio failure says: its message and its details.
struct Failure {
  std::string message;
  CaptionAudioError::Context context;
};

Failure failureOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const CaptionAudioError& failure) {
    return {failure.what(), failure.context};
  }
  ADD_FAILURE() << "no failure";
  return {};
}

// ---------------------------------------------------------------------------------------------
// Without a server.

TEST(PulseCaptureAudioNoServerTest, NoServerMeansNoInputsAndClearFailures) {
  ServerAddress nowhere("unix:/nonexistent/quorvel/native");
  PulseCaptureAudio audio;
  EXPECT_TRUE(audio.listInputs().empty());
  auto unknown = failureOf([&] { audio.makeProducer(CaptionAudioSource::device("ci_mic")); });
  EXPECT_EQ(unknown.message, "audio input ci_mic is not connected (no audio inputs at all)");
  EXPECT_EQ(unknown.context, (CaptionAudioError::Context{{"uniqueID", "ci_mic"}}));
  auto none = failureOf([&] { audio.makeProducer(CaptionAudioSource::systemDefault()); });
  EXPECT_EQ(none.message, "this Mac has no default audio input");
  EXPECT_TRUE(none.context.empty());
}

// A server that accepts the connection but never answers must not hang the listing.
TEST(PulseCaptureAudioNoServerTest, AServerThatNeverAnswersGivesNoInputsWithinTheTimeout) {
  TempDir dir;
  const std::string path = dir.file("mute");
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(fd, 4), 0);
  {
    ServerAddress mute("unix:" + path);
    const auto started = Clock::now();
    EXPECT_TRUE(quorvelAudioInputDevices(500ms).sources.empty());
    EXPECT_LT(Clock::now() - started, 5s);
  }
  close(fd);
}

// The microphone check comes before any lookup, and a file needs no microphone.
TEST(PulseCaptureAudioNoServerTest, MicrophoneRefusalComesFirstAndFilesNeedNoMicrophone) {
  for (int status : {0, 1, 2}) {
    PulseCaptureAudio audio([status] { return status; });
    for (const auto& source :
         {CaptionAudioSource::systemDefault(), CaptionAudioSource::device("no-such-input")}) {
      auto f = failureOf([&] { audio.makeProducer(source); });
      EXPECT_EQ(f.message, "microphone access is not granted to the helper (" +
                               std::to_string(status) +
                               ") \u2014 grant Microphone in System Settings \u203A Privacy & "
                               "Security");
      EXPECT_EQ(f.context, (CaptionAudioError::Context{{"reason", "mic_permission"}}));
    }
    auto file =
        failureOf([&] { audio.makeProducer(CaptionAudioSource::file("/nonexistent.wav", false)); });
    EXPECT_EQ(file.message, "caption source file not found: /nonexistent.wav");
  }
}

// ---------------------------------------------------------------------------------------------
// Against the test server.

class PulseCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!quorvelAudioInputDevices(2s).reachable) {
      if (serverRequired()) FAIL() << "QUORVEL_TEST_AUDIO=1 but no sound server is reachable";
      GTEST_SKIP() << "no sound server (start one with scripts/test-audio-server.sh)";
    }
  }
};

TEST_F(PulseCaptureTest, ListsRealInputsFirstThenMonitorsAsSystemAudio) {
  PulseCaptureAudio audio;
  const auto inputs = audio.listInputs();
  auto find = [&](const std::string& id) {
    return std::find_if(inputs.begin(), inputs.end(), [&](auto& i) { return i.id == id; });
  };
  const auto mic = find("ci_mic");
  const auto monitor = find("ci_sink.monitor");
  ASSERT_NE(mic, inputs.end());
  ASSERT_NE(monitor, inputs.end());
  EXPECT_EQ(*mic, (CaptionAudioInput{"ci_mic", "CI-Mic", true, CaptionAudioInputKind::other,
                                     std::nullopt}));
  EXPECT_EQ(*monitor, (CaptionAudioInput{"ci_sink.monitor", "Monitor of CI-Sink", false,
                                         CaptionAudioInputKind::other, "System audio"}));
  // Every monitor comes after every real input. (A real input may carry a note of its own, such
  // as a Bluetooth microphone's "Lower quality", which a test beside this one may add.)
  bool seenMonitor = false;
  for (const auto& i : inputs) {
    const bool monitor = i.note == std::optional<std::string>("System audio");
    if (monitor) seenMonitor = true;
    EXPECT_TRUE(monitor || !seenMonitor) << i.id << " listed after a monitor";
  }
  EXPECT_EQ(std::count_if(inputs.begin(), inputs.end(), [](auto& i) { return i.isDefault; }), 1);
}

TEST(PulseInputKindTest, DevicePropertiesGiveTheInputKind) {
  using K = CaptionAudioInputKind;
  struct Case {
    const char *bus, *formFactor, *port;
    bool monitor;
    K want;
  };
  const Case cases[] = {
      {"bluetooth", "headset", "headset-head-unit", false, K::bluetooth},  // the bus wins
      {"usb", "microphone", "analog-input-mic", false, K::usb},
      {"pci", "headset", "", false, K::headset},
      {"pci", "", "analog-input-headset-mic", false, K::headset},
      {"pci", "", "analog-input-linein", false, K::lineIn},
      {"pci", "internal", "analog-input-mic", false, K::builtIn},
      {"pci", "", "analog-input-internal-mic", false, K::builtIn},
      {"", "", "", false, K::other},          // a virtual source says nothing
      {"usb", "webcam", "", true, K::other},  // what an output plays is not an input device
  };
  for (const Case& c : cases) {
    EXPECT_EQ(pulseInputKind(c.bus, c.formFactor, c.port, c.monitor), c.want)
        << c.bus << " " << c.formFactor << " " << c.port;
  }
}

TEST_F(PulseCaptureTest, InputsAreNamedByTheirKind) {
  // Sources that describe themselves as a Bluetooth headset and a USB interface.
  // (pactl wants the properties as one argument, quoted inside: '... device.description="A B"')
  ServerModule bluetooth(
      "module-remap-source source_name=ci_bt_mic master=ci_sink.monitor "
      R"("source_properties='device.bus=bluetooth device.form_factor=headset )"
      R"(device.description=\"Travel Buds\"'")");
  ServerModule usb(
      "module-remap-source source_name=ci_usb_mic master=ci_sink.monitor "
      R"("source_properties='device.bus=usb device.description=\"USB Audio CODEC\"'")");
  ASSERT_TRUE(bluetooth.loaded() && usb.loaded());
  PulseCaptureAudio audio;
  const auto inputs = audio.listInputs();
  auto find = [&](const std::string& id) -> std::optional<CaptionAudioInput> {
    for (const auto& i : inputs)
      if (i.id == id) return i;
    return std::nullopt;
  };
  EXPECT_EQ(find("ci_bt_mic"),
            (CaptionAudioInput{"ci_bt_mic", "Bluetooth headset (Travel Buds)", false,
                               CaptionAudioInputKind::bluetooth, "Lower quality"}));
  EXPECT_EQ(find("ci_usb_mic"), (CaptionAudioInput{"ci_usb_mic", "USB audio interface", false,
                                                   CaptionAudioInputKind::usb, std::nullopt}));
}

// The message names each source as the server does (its description, not the input's label, which
// may add its kind) and by its id, in discovery order.
TEST_F(PulseCaptureTest, AnUnknownInputNamesTheAvailableOnes) {
  PulseCaptureAudio audio;
  const auto entries = [] {
    std::string joined;
    for (const PulseSource& s : quorvelAudioInputDevices().sources)
      joined += (joined.empty() ? "" : ", ") + s.description + " [" + s.name + "]";
    return joined;
  };
  // Tests running beside this one add sources of their own to the shared server: compare with a
  // listing that stayed the same across the failure.
  std::string before, after;
  Failure f;
  for (int attempt = 0; attempt < 10 && (attempt == 0 || before != after); ++attempt) {
    before = entries();
    f = failureOf([&] { audio.makeProducer(CaptionAudioSource::device("CI-Mic")); });
    after = entries();
  }
  ASSERT_EQ(before, after) << "the server's sources kept changing";
  EXPECT_NE(before.find("CI-Mic [ci_mic], "), std::string::npos);
  EXPECT_EQ(f.message, "audio input CI-Mic is not connected (available: " + before + ")");
  EXPECT_EQ(f.context, (CaptionAudioError::Context{{"uniqueID", "CI-Mic"}}));
}

// The coarse-to-fine lag search: 1 ms energy envelopes locate the recording in the capture, then
// the sample-exact lag is searched around that spot.
std::pair<double, long> locate(const std::vector<double>& played,
                               const std::vector<double>& captured, double rate) {
  const size_t block = static_cast<size_t>(rate / 1000);
  auto envelope = [&](const std::vector<double>& x) {
    std::vector<double> e;
    for (size_t i = 0; i + block <= x.size(); i += block)
      e.push_back(testing::rms(x, i, i + block));
    return e;
  };
  const auto ep = envelope(played);
  const auto ec = envelope(captured);
  const long coarse = testing::bestCorrelation(ep, ec, 0, static_cast<long>(ec.size())).second;
  const long center = coarse * static_cast<long>(block);
  return testing::bestCorrelation(played, captured, center - 2 * static_cast<long>(block),
                                  center + 2 * static_cast<long>(block));
}

// The default source's own format is the server's choice: int16 from PulseAudio's null sink,
// float32 from PipeWire, 48 kHz stereo from both. Capture delivers exactly what the server lists.
TEST_F(PulseCaptureTest, TheSystemDefaultIsTheDefaultSourceInItsOwnFormat) {
  const PulseSourceList list = quorvelAudioInputDevices();
  EXPECT_EQ(list.defaultSourceName, "ci_mic");
  const auto listed = std::find_if(list.sources.begin(), list.sources.end(),
                                   [](const PulseSource& s) { return s.name == "ci_mic"; });
  ASSERT_NE(listed, list.sources.end());
  ASSERT_TRUE(listed->nativeFormat);
  const AudioFormat own = listed->format;
  EXPECT_TRUE(own.sampleType == SampleType::int16 || own.sampleType == SampleType::float32);
  EXPECT_EQ(own.sampleRate, 48000);
  EXPECT_EQ(own.channels, 2u);

  PulseCaptureAudio audio;
  Recorder recorder;
  auto producer = audio.makeProducer(CaptionAudioSource::systemDefault());
  EXPECT_EQ(producer->name(), "CI-Mic");
  producer->start(recorder.onBuffer(), nullptr, recorder.log());
  EXPECT_EQ(recorder.logLines(),
            std::vector<std::string>{"[captions] capturing audio from CI-Mic"});
  ASSERT_TRUE(recorder.waitForFrames(4800, 10s)) << "no audio from ci_mic";
  producer->stop();
  for (const auto& d : recorder.deliveries()) {
    ASSERT_EQ(d.buffer.format(), own);
    ASSERT_GT(d.buffer.frameLength(), 0u);
  }
}

// What is played into a sink comes out of the virtual microphone that records it unchanged: the
// same waveform (normalised cross-correlation at the best lag) at the same level. The sink and
// microphone are this test's own (made like ci_sink and ci_mic), so that other tests playing into
// ci_sink at the same time cannot mix into the recording.
TEST_F(PulseCaptureTest, CapturesWhatIsPlayedIntoTheSink) {
  const std::string tag = std::to_string(getpid());
  const std::string sink = "quorvel_play_" + tag;
  const std::string mic = "quorvel_mic_" + tag;
  ServerModule sinkModule("module-null-sink sink_name=" + sink +
                          " rate=48000 sink_properties=device.description=Play-" + tag);
  ASSERT_TRUE(sinkModule.loaded());
  ServerModule micModule("module-remap-source source_name=" + mic + " master=" + sink +
                         ".monitor source_properties=device.description=Mic-" + tag);
  ASSERT_TRUE(micModule.loaded());
  // An idle null sink stalls its first capture: keep silence playing into it.
  testing::ChildProcess silence(
      testing::quietly({"pacat", "--playback", "-d", sink, "--raw", "--format=s16le",
                        "--rate=48000", "--channels=2", "/dev/zero"}));

  TempDir dir;
  const std::string played = dir.file("played.wav");
  ASSERT_TRUE(testing::ffmpeg(std::string("-i ") + testing::kSpeechRecording +
                              " -t 3 -ar 48000 -ac 2 -c:a pcm_s16le " + played));
  const std::string raw = dir.file("played.f32");
  ASSERT_TRUE(testing::ffmpeg("-i " + played + " -af 'pan=mono|c0=c0' -f f32le " + raw));
  const auto floats = testing::readRawFloats(raw);
  const std::vector<double> reference(floats.begin(), floats.end());

  PulseCaptureAudio audio;
  Recorder recorder;
  auto producer = audio.makeProducer(CaptionAudioSource::device(mic));
  EXPECT_EQ(producer->name(), "Mic-" + tag);
  producer->start(recorder.onBuffer(), nullptr, recorder.log());
  ASSERT_TRUE(recorder.waitForFrames(4800, 10s)) << "no audio from " << mic;

  ASSERT_EQ(std::system(("paplay -d " + sink + " " + played).c_str()), 0);
  // paplay returns once its audio has drained; give the capture half a second to catch up.
  const uint64_t before = recorder.channel(0).size();
  ASSERT_TRUE(recorder.waitForFrames(before + 24000, 10s));
  producer->stop();

  const auto captured = recorder.channel(0);
  ASSERT_GT(captured.size(), reference.size());
  auto [r, lag] = locate(reference, captured, 48000);
  EXPECT_GE(r, 0.95) << "at lag " << lag;
  ASSERT_GE(lag, 0);
  ASSERT_LE(static_cast<size_t>(lag) + reference.size(), captured.size());
  const double playedRms = testing::rms(reference);
  const double capturedRms = testing::rms(
      std::vector<double>(captured.begin() + lag, captured.begin() + lag + reference.size()));
  EXPECT_NEAR(20 * std::log10(capturedRms / playedRms), 0.0, 0.5);
}

TEST_F(PulseCaptureTest, StopStartOrderingNeverDeliversAfterStop) {
  PulseCaptureAudio audio;
  {
    Recorder recorder;
    auto producer = audio.makeProducer(CaptionAudioSource::device("ci_mic"));
    producer->stop();                                               // before start: nothing runs
    producer->stop();                                               // twice: nothing happens
    producer->start(recorder.onBuffer(), nullptr, recorder.log());  // after stop: starts nothing
    EXPECT_EQ(recorder.logLines(),
              std::vector<std::string>{"[captions] capturing audio from CI-Mic"});
    EXPECT_FALSE(recorder.waitForFrames(1, 300ms));
  }
  {
    Recorder recorder;
    auto producer = audio.makeProducer(CaptionAudioSource::device("ci_mic"));
    producer->start(recorder.onBuffer(), nullptr, recorder.log());
    ASSERT_TRUE(recorder.waitForFrames(4800, 10s));
    producer->stop();
    const size_t atStop = recorder.deliveryCount();
    producer->stop();
    EXPECT_FALSE(recorder.waitForFrames(recorder.channel(0).size() + 1, 300ms));
    EXPECT_EQ(recorder.deliveryCount(), atStop);
  }
}

// Stopping from inside onBuffer (on the delivery thread) must neither deadlock nor crash.
TEST_F(PulseCaptureTest, StopFromInsideOnBufferReturns) {
  PulseCaptureAudio audio;
  Recorder recorder;
  auto producer = audio.makeProducer(CaptionAudioSource::device("ci_mic"));
  std::atomic<bool> stopped{false};
  recorder.setHook([&](const PcmBuffer&) {
    if (!stopped.exchange(true)) producer->stop();
  });
  producer->start(recorder.onBuffer(), nullptr, recorder.log());
  ASSERT_TRUE(recorder.waitForFrames(1, 10s));
  EXPECT_FALSE(recorder.waitUntil([] { return false; }, 300ms));
  EXPECT_TRUE(stopped);
}

// A source that goes away ends the capture with a log line, and its audio came in the source's
// own format (float32 mono 44.1 kHz here).
TEST_F(PulseCaptureTest, ASourceThatGoesAwayEndsCaptureWithALogLine) {
  const std::string gone = "quorvel_gone_" + std::to_string(getpid());
  auto module = std::make_unique<ServerModule>(
      "module-null-sink sink_name=" + gone +
      " format=float32le rate=44100 channels=1 sink_properties=device.description=Gone-Sink");
  ASSERT_TRUE(module->loaded());
  // Something must play into the sink for its monitor to deliver.
  testing::ChildProcess silence(
      testing::quietly({"pacat", "--playback", "-d", gone, "--raw", "--format=float32le",
                        "--rate=44100", "--channels=1", "/dev/zero"}));
  PulseCaptureAudio audio;
  Recorder recorder;
  auto producer = audio.makeProducer(CaptionAudioSource::device(gone + ".monitor"));
  EXPECT_EQ(producer->name(), "Monitor of Gone-Sink");
  producer->start(recorder.onBuffer(), nullptr, recorder.log());
  ASSERT_TRUE(recorder.waitForFrames(4410, 10s));
  EXPECT_EQ(recorder.deliveries().front().buffer.format(),
            (AudioFormat{SampleType::float32, 44100, 1, true}));
  module.reset();  // the sink and its monitor go away
  EXPECT_TRUE(recorder.waitForLogContaining(
      "[captions] audio input Monitor of Gone-Sink is gone; capture ended", 10s));
  producer->stop();
}

}  // namespace
}  // namespace quorvel
