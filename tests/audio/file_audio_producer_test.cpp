#include "caption_engine/audio/file_audio_producer.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>
#include <atomic>

#include <cstring>
#include <fstream>
#include <future>

#include "caption_engine/audio/caption_audio_error.h"
#include "caption_engine/audio/ffmpeg_audio_file.h"
#include "tests/audio/audio_test_support.h"

namespace quorvel {
namespace {

using namespace std::chrono_literals;
using testing::Clock;
using testing::Recorder;
using testing::TempDir;

// Makes the fixtures from a real recording into `dir`.
bool makeFixtures(const TempDir& dir) {
  const std::string src = testing::kSpeechRecording;
  const auto out = [&](const char* n) { return dir.file(n); };
  bool ok = std::filesystem::exists(src);
  // Speech in the common formats, in a mix of rates and channel counts.
  ok = ok && testing::ffmpeg("-i " + src + " " + out("speech.wav"));
  ok = ok && testing::ffmpeg("-i " + src + " -ar 44100 -ac 2 " + out("speech.flac"));
  ok = ok && testing::ffmpeg("-i " + src + " -ar 22050 -c:a libvorbis " + out("speech.ogg"));
  ok = ok && testing::ffmpeg("-i " + src + " -ac 2 -c:a libopus " + out("speech.opus"));
  ok = ok && testing::ffmpeg("-i " + src + " -ar 44100 -c:a libmp3lame " + out("speech.mp3"));
  ok = ok && testing::ffmpeg("-i " + src + " -ar 48000 -ac 2 -c:a aac " + out("speech.m4a"));
  // 1.02 s at 48 kHz: 48,960 frames.
  ok = ok && testing::ffmpeg(
                 "-f lavfi -i sine=frequency=440:sample_rate=48000 -af "
                 "atrim=end_sample=48960 -c:a pcm_f32le " +
                 out("tone-1.02s.wav"));
  ok = ok && testing::ffmpeg("-f lavfi -i sine=frequency=440:sample_rate=48000 -t 3 " +
                             out("tone-3s.wav"));
  ok =
      ok && testing::ffmpeg("-f lavfi -i anullsrc=r=48000:cl=mono -t 30 " + out("silence-30s.wav"));
  ok = ok && testing::ffmpeg("-f lavfi -i anullsrc=r=48000:cl=mono -t 0 " + out("empty.wav"));
  std::ofstream(out("notes.txt")) << "These are not the sounds you are looking for.\n";
  std::ofstream(out("zero-bytes.wav"));
  std::filesystem::create_directory(out("folder.wav"));
  return ok;
}

// The fixtures are made once per build directory (every test runs in a process of its own under
// ctest): made in a private directory and renamed into place, so parallel runs never see half.
std::filesystem::path fixtureDirectory() {
  const std::filesystem::path target =
      std::filesystem::path(QUORVEL_BINARY_DIR) / "test-fixtures" / "audio-files-v1";
  if (std::filesystem::exists(target)) return target;
  std::filesystem::create_directories(target.parent_path());
  auto made = std::make_unique<TempDir>();
  if (!makeFixtures(*made)) return {};
  std::error_code ec;
  std::filesystem::rename(made->path(), target, ec);  // loses harmlessly to a parallel run
  return target;
}

class FileAudioProducerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    fixtures_ = fixtureDirectory();
    scratch_ = new TempDir;
  }
  static void TearDownTestSuite() {
    delete scratch_;
    scratch_ = nullptr;
  }
  void SetUp() override {
    ASSERT_FALSE(fixtures_.empty()) << "the audio fixtures could not be made";
  }
  static std::string file(const char* name) { return (fixtures_ / name).string(); }

  static std::filesystem::path fixtures_;
  static TempDir* scratch_;
};

std::filesystem::path FileAudioProducerTest::fixtures_;
TempDir* FileAudioProducerTest::scratch_ = nullptr;

void expectAudioFailure(const std::function<void()>& make, const std::string& messagePrefix,
                        const std::string& path, bool exact) {
  try {
    make();
    ADD_FAILURE() << "no failure for " << path;
  } catch (const CaptionAudioError& f) {
    const std::string message = f.what();
    EXPECT_EQ(f.context, (CaptionAudioError::Context{{"path", path}}));
    if (exact) {
      EXPECT_EQ(message, messagePrefix);
    } else {
      EXPECT_EQ(message.rfind(messagePrefix, 0), 0u) << message;
      EXPECT_GT(message.size(), messagePrefix.size()) << "no reason given: " << message;
    }
  }
}

// Runs a producer to its end (unpaced) and returns what it delivered.
void runToEnd(FileAudioProducer& producer, Recorder& recorder) {
  producer.start(recorder.onBuffer(), nullptr, recorder.log());
  ASSERT_TRUE(recorder.waitForLogContaining("reached EOF"));
}

struct FormatCase {
  const char* file;
  double rate;
  uint32_t channels;
};

// Every format decodes to float32 planar at the file's own rate and channels, in 0.1 s chunks,
// and what comes out is the recording: the same length and the same waveform as the ffmpeg tool
// decodes it.
TEST_F(FileAudioProducerTest, DecodesEveryCommonFormatIntoTheProcessingFormat) {
  const FormatCase cases[] = {
      {"speech.wav", 16000, 1},  {"speech.flac", 44100, 2}, {"speech.ogg", 22050, 1},
      {"speech.opus", 48000, 2}, {"speech.mp3", 44100, 1},  {"speech.m4a", 48000, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    Recorder recorder;
    FileAudioProducer producer(file(c.file), false);
    EXPECT_EQ(producer.name(), c.file);
    runToEnd(producer, recorder);

    const auto deliveries = recorder.deliveries();
    ASSERT_FALSE(deliveries.empty());
    const uint32_t chunk = static_cast<uint32_t>(c.rate / 10);
    for (size_t i = 0; i < deliveries.size(); ++i) {
      const auto& b = deliveries[i].buffer;
      ASSERT_EQ(b.format(), (AudioFormat{SampleType::float32, c.rate, c.channels, false}));
      if (i + 1 < deliveries.size()) {
        ASSERT_EQ(b.frameLength(), chunk) << "buffer " << i;
      }
      ASSERT_GT(b.frameLength(), 0u);
      ASSERT_LE(b.frameLength(), chunk);
    }

    // The reference: the same file decoded by the ffmpeg tool, first channel.
    const std::string raw = scratch_->file(std::string(c.file) + ".f32");
    ASSERT_TRUE(testing::ffmpeg("-i " + file(c.file) + " -af 'pan=mono|c0=c0' -f f32le " + raw));
    const auto floats = testing::readRawFloats(raw);
    const std::vector<double> reference(floats.begin(), floats.end());
    const auto ours = recorder.channel(0);
    // Lossy coders pad the end a little (AAC by some 250 frames); allow 50 ms.
    EXPECT_NEAR(static_cast<double>(ours.size()), static_cast<double>(reference.size()),
                c.rate / 20);
    const size_t n = std::min(ours.size(), reference.size());
    auto [r, lag] =
        testing::bestCorrelation(std::vector<double>(reference.begin(), reference.begin() + n),
                                 std::vector<double>(ours.begin(), ours.begin() + n), 0, 0);
    EXPECT_GT(r, 0.999);

    const auto eof = recorder.logLines().back();
    char expected[96];
    std::snprintf(expected, sizeof expected,
                  "[captions] file source reached EOF after %.1fs of audio",
                  static_cast<double>(ours.size()) / c.rate);
    EXPECT_EQ(eof, expected);
  }
}

TEST_F(FileAudioProducerTest, WavSamplesArriveUnchanged) {
  Recorder recorder;
  FileAudioProducer producer(file("speech.wav"), false);
  runToEnd(producer, recorder);
  const auto ours = recorder.channel(0);
  ASSERT_EQ(ours.size(), 113600u);  // 7.1 s at 16 kHz
  // 16-bit samples become floats exactly: n / 32768.
  for (double s : ours) ASSERT_EQ(s * 32768.0, std::round(s * 32768.0));
}

TEST_F(FileAudioProducerTest, NothingAtThePathIsNotFound) {
  for (std::string path :
       {file("missing.wav"), std::string("relative/missing.wav"), std::string()}) {
    expectAudioFailure([&] { FileAudioProducer p(path, true); },
                       "caption source file not found: " + path, path, true);
  }
}

// A directory, a text file and an empty file exist but are not audio: FFmpeg's reason follows.
TEST_F(FileAudioProducerTest, ADirectoryOrATextFileCannotBeRead) {
  for (const char* name : {"folder.wav", "notes.txt", "zero-bytes.wav"}) {
    const std::string path = file(name);
    expectAudioFailure([&] { FileAudioProducer p(path, false); },
                       "cannot read caption source file " + path + ": ", path, false);
  }
}

// Something that exists at a path but is not a regular file, and how to release a reader that
// is stuck on it (for a build that waits on it), so that the test itself never hangs.
struct SpecialFile {
  std::string path;
  std::function<void()> unstick = [] {};
  std::function<void()> cleanUp = [] {};
};

// Makes a producer for `path` on a thread of its own and waits at most `bound` for its
// constructor to return. When it has not returned by then, `unstick` releases it before the
// thread is joined. Returns whether it returned in time and the failure it threw, if any.
std::pair<bool, std::optional<CaptionAudioError>> openWithin(
    const std::string& path, const std::function<void()>& unstick, std::stop_token cancel = {},
    std::chrono::milliseconds bound = 10s) {
  std::promise<std::optional<CaptionAudioError>> outcome;
  auto result = outcome.get_future();
  std::thread opener([&] {
    try {
      FileAudioProducer producer(path, false, cancel);
      outcome.set_value(std::nullopt);
    } catch (const CaptionAudioError& f) {
      outcome.set_value(f);
    } catch (...) {
      outcome.set_exception(std::current_exception());
    }
  });
  const bool inTime = result.wait_for(bound) == std::future_status::ready;
  if (!inTime) unstick();
  opener.join();
  return {inTime, result.get()};
}

// Regression: a FIFO nobody writes to used to hold the opening thread in open() (or, with a
// writer that stays silent, in FFmpeg's first read) forever, so a session started on it never
// answered and every later start was refused as busy. Anything but a regular file is refused
// before it is read, at once, and names the file.
TEST_F(FileAudioProducerTest, AnythingButARegularFileFailsAtOnce) {
  const auto notRegular = [](const std::string& path) {
    return "caption source file " + path + " is not a regular file";
  };
  std::vector<std::pair<std::string, std::function<SpecialFile()>>> cases = {
      {"a FIFO without a writer",
       [&] {
         const std::string path = scratch_->file("no-writer.fifo");
         EXPECT_EQ(mkfifo(path.c_str(), 0600), 0) << std::strerror(errno);
         // The stuck reader counts as one, so a writer can open without waiting, and its close
         // gives the reader an end of file.
         return SpecialFile{path, [path] {
                              const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
                              if (fd >= 0) ::close(fd);
                            }};
       }},
      {"a FIFO whose writer never writes",
       [&] {
         const std::string path = scratch_->file("silent-writer.fifo");
         EXPECT_EQ(mkfifo(path.c_str(), 0600), 0) << std::strerror(errno);
         // Opening for reading and writing never waits; it is the writer that stays silent.
         auto writer = std::make_shared<int>(::open(path.c_str(), O_RDWR | O_NONBLOCK));
         EXPECT_GE(*writer, 0) << std::strerror(errno);
         auto close = [writer] {
           if (*writer >= 0) ::close(*writer);
           *writer = -1;
         };
         return SpecialFile{path, close, close};
       }},
      {"a character device that never ends", [] { return SpecialFile{"/dev/zero"}; }},
      {"a socket",
       [&] {
         const std::string path = scratch_->file("listening.sock");
         const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
         sockaddr_un address{};
         address.sun_family = AF_UNIX;
         std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
         EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0)
             << std::strerror(errno);
         EXPECT_EQ(::listen(fd, 1), 0);
         return SpecialFile{path, [] {}, [fd] { ::close(fd); }};
       }},
  };
  // A block device node (of a loop device) where this machine lets us make one.
  const std::string blockPath = scratch_->file("loop.blk");
  if (::mknod(blockPath.c_str(), S_IFBLK | 0600, makedev(7, 0)) == 0) {
    cases.push_back({"a block device", [blockPath] { return SpecialFile{blockPath}; }});
  }

  for (auto& [label, make] : cases) {
    SCOPED_TRACE(label);
    const SpecialFile special = make();
    const auto [inTime, failure] = openWithin(special.path, special.unstick);
    special.cleanUp();
    EXPECT_TRUE(inTime) << "opening did not return within the bound";
    ASSERT_TRUE(failure.has_value()) << "opened as audio";
    EXPECT_EQ(failure->context, (CaptionAudioError::Context{{"path", special.path}}));
    EXPECT_EQ(std::string(failure->what()), notRegular(special.path));
  }
}

// Regression: a playlist FFmpeg recognises by its content (here an ffconcat list) used to send
// it on to the files it names, so a list naming a FIFO held the opening thread just as the FIFO
// itself did. A file source is that one file: the list is not followed and the open fails.
TEST_F(FileAudioProducerTest, APlaylistIsNotFollowedToAFifo) {
  const std::string fifo = scratch_->file("listed.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0) << std::strerror(errno);
  const std::string path = scratch_->file("list.wav");
  std::ofstream(path) << "ffconcat version 1.0\nfile 'listed.fifo'\n";
  const auto [inTime, failure] = openWithin(path, [fifo] {
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) ::close(fd);
  });
  EXPECT_TRUE(inTime) << "opening did not return within the bound";
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(std::string(failure->what()).rfind("cannot read caption source file " + path + ": ", 0),
            0u)
      << failure->what();
}

// A directory keeps the reason it has always been given.
TEST_F(FileAudioProducerTest, ADirectoryIsNotReadable) {
  const std::string path = file("folder.wav");
  const auto [inTime, failure] = openWithin(path, [] {});
  EXPECT_TRUE(inTime);
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(std::string(failure->what()),
            "cannot read caption source file " + path + ": Is a directory");
}

// A start stopped before its file is open gets no file: opening gives up at once.
TEST_F(FileAudioProducerTest, ACancelledOpenFailsAtOnce) {
  std::stop_source stop;
  stop.request_stop();
  const std::string path = file("speech.m4a");
  const auto [inTime, failure] = openWithin(
      path, [] {}, stop.get_token());
  EXPECT_TRUE(inTime);
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(failure->context, (CaptionAudioError::Context{{"path", path}}));
  EXPECT_EQ(std::string(failure->what()), "opening caption source file " + path + " was cancelled");
}

// A cancelled read gives nothing, and the file has nothing more to give after it (what was read
// so far is not mistaken for the whole file).
TEST_F(FileAudioProducerTest, ACancelledReadEndsTheFile) {
  FfmpegAudioFile::OpenError error;
  auto audio = FfmpegAudioFile::open(file("speech.wav"), error);
  ASSERT_TRUE(audio) << error.reason;
  PcmBuffer buffer(audio->processingFormat(), 1600);
  std::stop_source stop;
  ASSERT_TRUE(audio->read(buffer, stop.get_token()));
  EXPECT_EQ(buffer.frameLength(), 1600u);
  stop.request_stop();
  EXPECT_FALSE(audio->read(buffer, stop.get_token()));
  EXPECT_EQ(buffer.frameLength(), 0u);
  EXPECT_FALSE(audio->read(buffer));
  EXPECT_EQ(buffer.frameLength(), 0u);
}

// The runtime holds the feed inside onBuffer while it applies back-pressure. A stop that comes
// meanwhile ends the feed as soon as onBuffer returns: no further chunk, and the closing line.
TEST_F(FileAudioProducerTest, StopDuringABlockedDeliveryEndsTheFeedWhenItReturns) {
  Recorder recorder;
  std::mutex gateLock;
  std::condition_variable gateChanged;
  bool open = false;
  recorder.setHook([&](const PcmBuffer&) {
    std::unique_lock guard(gateLock);
    gateChanged.wait_for(guard, 20s, [&] { return open; });
  });
  FileAudioProducer producer(file("silence-30s.wav"), false);
  producer.start(recorder.onBuffer(), nullptr, recorder.log());
  ASSERT_TRUE(recorder.waitForFrames(4800, 10s));
  producer.stop();
  {
    std::lock_guard guard(gateLock);
    open = true;
  }
  gateChanged.notify_all();
  ASSERT_TRUE(recorder.waitForLogContaining("reached EOF", 10s));
  EXPECT_EQ(recorder.deliveryCount(), 1u);
  EXPECT_EQ(recorder.logLines(),
            std::vector<std::string>{"[captions] file source reached EOF after 0.1s of audio"});
}

// A path with a colon is a file name, not an FFmpeg protocol.
TEST_F(FileAudioProducerTest, APathWithAColonIsStillAFile) {
  const std::string path = scratch_->file("talk:one.wav");
  std::filesystem::copy_file(file("speech.wav"), path);
  FileAudioProducer producer(path, false);
  EXPECT_EQ(producer.name(), "talk:one.wav");
}

TEST_F(FileAudioProducerTest, ChunksAreExactlyATenthOfASecond) {
  Recorder recorder;
  FileAudioProducer producer(file("tone-1.02s.wav"), false);
  runToEnd(producer, recorder);
  std::vector<uint32_t> lengths;
  for (auto& d : recorder.deliveries()) lengths.push_back(d.buffer.frameLength());
  std::vector<uint32_t> expected(10, 4800);
  expected.push_back(960);
  EXPECT_EQ(lengths, expected);
  EXPECT_EQ(recorder.logLines(),
            std::vector<std::string>{"[captions] file source reached EOF after 1.0s of audio"});
}

// The end of a file is told once, after the last buffer, with the audio it delivered; a stop is
// no end.
TEST_F(FileAudioProducerTest, TheEndOfTheFileIsToldOnceAfterTheLastBufferButNotAfterAStop) {
  Recorder recorder;
  std::promise<std::pair<int64_t, size_t>> end;  // audio ms, buffers delivered by then
  auto told = end.get_future();
  FileAudioProducer producer(file("tone-1.02s.wav"), false);
  producer.setOnEnded([&](int64_t ms) { end.set_value({ms, recorder.deliveryCount()}); });
  producer.start(recorder.onBuffer(), nullptr, recorder.log());
  ASSERT_EQ(told.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(told.get(), (std::pair<int64_t, size_t>{1020, 11}));

  Recorder stopped;
  std::atomic<bool> ended{false};
  {
    FileAudioProducer paced(file("silence-30s.wav"), true);
    paced.setOnEnded([&](int64_t) { ended = true; });
    paced.start(stopped.onBuffer(), nullptr, stopped.log());
    ASSERT_TRUE(stopped.waitForFrames(4800, 10s));
    paced.stop();
  }  // the feed has ended here
  EXPECT_FALSE(ended.load());
}

TEST_F(FileAudioProducerTest, AnEmptyAudioFileDeliversNothing) {
  Recorder recorder;
  FileAudioProducer producer(file("empty.wav"), true);
  runToEnd(producer, recorder);
  EXPECT_EQ(recorder.deliveryCount(), 0u);
  EXPECT_EQ(recorder.logLines(),
            std::vector<std::string>{"[captions] file source reached EOF after 0.0s of audio"});
}

TEST(FileAudioProducerNameTest, NameIsTheLastPathComponent) {
  const std::pair<const char*, const char*> cases[] = {
      {"/tmp/talk.wav", "talk.wav"},
      {"talk.wav", "talk.wav"},
      {"a/b/c.flac", "c.flac"},
      {"/tmp/dir/", "dir"},
      {"/", "/"},
      {"", ""},
  };
  for (auto [path, name] : cases)
    EXPECT_EQ(FileAudioProducer::lastPathComponent(path), name) << path;
}

// Paced feeding follows the clock from the start: buffer k (0-based) is not delivered before
// k × 0.1 s, and the feed ends after the sleep behind the last buffer, at about 3.0 s. The upper
// bounds are loose: they only show that the feed does not fall far behind.
TEST_F(FileAudioProducerTest, PacedFeedingFollowsTheAbsoluteSchedule) {
  Recorder recorder;
  FileAudioProducer producer(file("tone-3s.wav"), true);
  const auto started = Clock::now();
  producer.start(recorder.onBuffer(), nullptr, recorder.log());
  ASSERT_TRUE(recorder.waitForLogContaining("reached EOF", 30s));
  const auto deliveries = recorder.deliveries();
  ASSERT_EQ(deliveries.size(), 30u);
  for (size_t k = 0; k < deliveries.size(); ++k) {
    const auto after = deliveries[k].at - started;
    EXPECT_GE(after, std::chrono::milliseconds(100 * k) - 5ms) << "buffer " << k;
  }
  EXPECT_LT(deliveries[0].at - started, 1s);
  const auto end = recorder.logEntry("reached EOF")->first - started;
  EXPECT_GE(end, 2995ms);
  EXPECT_LT(end, 10s);
  EXPECT_EQ(recorder.logLines().back(), "[captions] file source reached EOF after 3.0s of audio");
}

// Unpaced feeding never sleeps: thirty seconds of audio are through long before thirty seconds.
TEST_F(FileAudioProducerTest, UnpacedFeedingDoesNotWaitForTheClock) {
  Recorder recorder;
  FileAudioProducer producer(file("silence-30s.wav"), false);
  const auto started = Clock::now();
  producer.start(recorder.onBuffer(), nullptr, recorder.log());
  ASSERT_TRUE(recorder.waitForLogContaining("reached EOF", 30s));
  EXPECT_LT(Clock::now() - started, 15s);
  EXPECT_EQ(recorder.deliveryCount(), 300u);
}

// stop wakes a paced feed out of its wait: the closing line comes long before the 30 s file
// would end, gives the audio delivered so far, and nothing is delivered after it.
TEST_F(FileAudioProducerTest, StopEndsAPacedFeedWithinOneSleep) {
  Recorder recorder;
  FileAudioProducer producer(file("silence-30s.wav"), true);
  producer.start(recorder.onBuffer(), nullptr, recorder.log());
  ASSERT_TRUE(recorder.waitForFrames(2 * 4800, 10s));
  const auto stopped = Clock::now();
  producer.stop();
  ASSERT_TRUE(recorder.waitForLogContaining("reached EOF", 10s));
  EXPECT_LT(recorder.logEntry("reached EOF")->first - stopped, 5s);
  const size_t delivered = recorder.deliveryCount();
  EXPECT_EQ(recorder.logEntry("reached EOF")->second, delivered);
  EXPECT_LT(delivered, 300u);
  char expected[96];
  std::snprintf(expected, sizeof expected,
                "[captions] file source reached EOF after %.1fs of audio", delivered * 0.1);
  EXPECT_EQ(recorder.logLines().back(), expected);
  producer.stop();  // a second stop does nothing
}

TEST_F(FileAudioProducerTest, StopBeforeStartLeavesNothingToDeliver) {
  Recorder recorder;
  FileAudioProducer producer(file("tone-1.02s.wav"), false);
  producer.stop();
  producer.start(recorder.onBuffer(), nullptr, recorder.log());
  producer.stop();
  EXPECT_FALSE(recorder.waitForFrames(1, 200ms));
  EXPECT_TRUE(recorder.logLines().empty());
}

// Regression: a producer whose last owner lets go of it inside onBuffer (the runtime being torn
// down on the feed thread) must not try to join its own thread.
TEST_F(FileAudioProducerTest, ReleasingTheProducerOnItsOwnFeedThreadDoesNotHang) {
  // The feed outlives this test's stack, so everything it touches is shared with it.
  struct Shared {
    Recorder recorder;
    std::mutex m;
    std::shared_ptr<FileAudioProducer> held;
  };
  auto shared = std::make_shared<Shared>();
  auto producer = std::make_shared<FileAudioProducer>(file("tone-1.02s.wav"), false);
  shared->held = producer;
  auto onBuffer = shared->recorder.onBuffer();
  auto log = shared->recorder.log();
  producer->start(
      [shared, onBuffer](const PcmBuffer& b) {
        onBuffer(b);
        std::shared_ptr<FileAudioProducer> last;
        std::lock_guard guard(shared->m);
        last = std::move(shared->held);  // the last owner lets go here, on the feed thread
      },
      nullptr, [shared, log](const std::string& line) { log(line); });
  producer.reset();
  ASSERT_TRUE(shared->recorder.waitForLogContaining("reached EOF", 10s));
}

}  // namespace
}  // namespace quorvel
