// The engine core in a build, or with a service, that has no runtime: every operation answers at
// once with the build reason, notices first, and the input list still comes from the platform.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "caption_engine/audio/no_caption_audio.h"
#include "caption_engine/runtime/caption_engine_core.h"

namespace quorvel {
namespace {

using ::testing::ElementsAre;

class OneInput final : public CaptionAudioPlatform {
 public:
  std::vector<CaptionAudioInput> listInputs() override {
    return {{"ci_mic", "CI-Mic", true, CaptionAudioInputKind::other, std::nullopt}};
  }
  std::shared_ptr<CaptionAudioProducer> makeProducer(const CaptionAudioSource& s) override {
    return NoCaptionAudio().makeProducer(s);
  }
};

// Records every notice and completion in the order they happen.
class CoreWithoutRuntime : public ::testing::Test {
 protected:
  CoreWithoutRuntime() : core(recordingEvents(), std::make_shared<OneInput>(), nullptr) {}

  CaptionRuntimeEvents recordingEvents() {
    CaptionRuntimeEvents e = CaptionRuntimeEvents::silent();
    e.state = [this](CaptionState s, const std::optional<std::string>& id,
                     const std::optional<std::string>& reason, std::optional<double> level) {
      trail.push_back("state " + std::string(rawValue(s)) + " " + id.value_or("-") + " " +
                      reason.value_or("-") + " " + (level ? "level" : "-"));
    };
    e.assetProgress = [this](const std::string& locale, double fraction, bool done,
                             const std::optional<std::string>& error) {
      trail.push_back("progress " + locale + " " + std::to_string(fraction) + " " +
                      (done ? "done" : "-") + " " + error.value_or("-"));
    };
    e.log = [this](const std::string& m) { trail.push_back("log " + m); };
    return e;
  }

  template <class T>
  CaptionEngineCore::Completion<T> recordFailure() {
    return [this](CaptionRuntimeOutcome<T> o) {
      ASSERT_FALSE(o.isOk());
      const auto& f = o.failure();
      EXPECT_EQ(f.state, CaptionState::unsupported);
      EXPECT_FALSE(f.retriable);
      EXPECT_FALSE(f.context.has_value());
      trail.push_back("failed " + std::string(rawValue(f.code)) + " " + f.message);
    };
  }

  const std::string reason = CaptionEngineCore::buildUnsupportedReason;
  std::vector<std::string> trail;
  CaptionEngineCore core;
};

TEST_F(CoreWithoutRuntime, StartRaisesTheUnsupportedNoticeBeforeFailing) {
  CaptionsStartRequest request;
  request.sessionId = "s1";
  request.locale = "en-US";
  core.start(request, recordFailure<CaptionRuntimeStartResult>());
  EXPECT_THAT(trail, ElementsAre("state unsupported s1 " + reason + " -",
                                 "failed CAPTIONS_UNSUPPORTED " + reason));
}

TEST_F(CoreWithoutRuntime, InstallRaisesTheProgressNoticeBeforeFailing) {
  core.installLocale("en-US", recordFailure<bool>());
  EXPECT_THAT(trail, ElementsAre("progress en-US 0.000000 done " + reason,
                                 "failed CAPTIONS_UNSUPPORTED " + reason));
}

TEST_F(CoreWithoutRuntime, StopAndSetContextFailWithoutNotices) {
  core.stop(std::nullopt, recordFailure<CaptionRuntimeStopResult>());
  core.stop("s1", recordFailure<CaptionRuntimeStopResult>());
  core.setContext("s1", {"term"}, recordFailure<CaptionRuntimeVoid>());
  EXPECT_THAT(trail, ElementsAre("failed CAPTIONS_UNSUPPORTED " + reason,
                                 "failed CAPTIONS_UNSUPPORTED " + reason,
                                 "failed CAPTIONS_UNSUPPORTED " + reason));
}

TEST_F(CoreWithoutRuntime, QueriesAnswerUnsupportedButListInputs) {
  EXPECT_FALSE(core.hasRuntime());
  EXPECT_EQ(CaptionEngineCore::unsupportedReason(), std::nullopt);
  const CaptionRuntimeCapabilities unsupported{false, reason, {}, {}, {}};
  EXPECT_EQ(core.capabilities(2000), unsupported);
  EXPECT_EQ(core.capabilities(), unsupported);

  const int64_t before = captionNowMs();
  const CaptionRuntimeStatus status = core.status();
  EXPECT_EQ(status.state, CaptionState::unsupported);
  EXPECT_GE(status.nowMs, before);
  EXPECT_LE(status.nowMs, captionNowMs());
  EXPECT_EQ(status.sessionId, std::nullopt);
  EXPECT_EQ(status.locale, std::nullopt);
  EXPECT_EQ(status.startedAtMs, std::nullopt);
  EXPECT_EQ(status.lastSpeechAtMs, std::nullopt);
  EXPECT_EQ(status.levelDb, std::nullopt);

  ASSERT_EQ(core.audioInputs().size(), 1u);
  EXPECT_EQ(core.audioInputs()[0].id, "ci_mic");

  std::optional<bool> reserved;
  core.reserveLocale("en-US", [&](bool r) { reserved = r; });
  EXPECT_EQ(reserved, false);
  EXPECT_TRUE(trail.empty());
}

TEST(CaptionEngineCoreTest, ReasonTextsAreExact) {
  EXPECT_STREQ(CaptionEngineCore::osUnsupportedReason,
               "Live captions unavailable: SpeechAnalyzer requires macOS 26 (this OS is older).");
  EXPECT_STREQ(CaptionEngineCore::buildUnsupportedReason,
               "Live captions unavailable: this build lacks the macOS 26 SpeechAnalyzer API (built "
               "without -D SPEECHANALYZER_AVAILABLE).");
  EXPECT_STREQ(CaptionEngineCore::hardwareUnsupportedReason,
               "Live captions unavailable: SpeechTranscriber is not available on this hardware.");
}

}  // namespace
}  // namespace quorvel
