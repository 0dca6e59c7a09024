// A scriptable speech service for runtime tests: an analyzer that records what it is fed, returns
// the results the test pushes, and can be told to fail or to wait at a gate, and an asset
// inventory with controllable installs and reservations. Also a fake audio platform whose
// producer delivers the buffers a test pushes, on the test's own thread.
//
// Threads: every fake is safe to call from the runtime's threads and the test thread at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "caption_engine/audio/caption_audio_error.h"
#include "caption_engine/audio/caption_audio_platform.h"
#include "caption_engine/runtime/caption_runtime_failure.h"
#include "caption_engine/runtime/speech_service.h"

namespace quorvel::testing {

// A one-shot gate: wait() blocks until open() (or a generous deadline, so a broken test fails
// instead of hanging). reached() tells whether someone is or was waiting at it.
class Gate {
 public:
  void open();
  // True when opened in time.
  bool wait();
  // Waits (bounded) until a thread has arrived at wait().
  bool awaitArrival();

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool open_ = false;
  bool arrived_ = false;
};

class FakeTranscriber final : public speech::SpeechTranscriber {
 public:
  FakeTranscriber(std::string locale, speech::TranscriberOptions options)
      : locale_(std::move(locale)), options_(options) {}

  const std::string& locale() const override { return locale_; }
  const speech::TranscriberOptions& options() const override { return options_; }

 private:
  const std::string locale_;
  const speech::TranscriberOptions options_;
};

// What an analyzer made by the fake service does.
struct FakeAnalyzerScript {
  std::optional<AudioFormat> format = AudioFormat{SampleType::int16, 16000.0, 1, true};
  std::optional<std::string> setContextThrows;
  std::optional<std::string> startThrows;
  std::optional<std::string> finishThrows;
  std::shared_ptr<Gate> startGate;    // start() waits here first when set
  std::shared_ptr<Gate> finishGate;   // finish() waits here first when set (a slow recognizer)
  std::shared_ptr<Gate> analyzeGate;  // analyze() waits here first when set
  // Results the analyzer still delivers when its input ends.
  std::vector<speech::SpeechResult> atFinish;
};

// Records what it is fed; each call returns the results the test has pushed since the last one.
class FakeAnalyzer final : public speech::SpeechAnalyzer {
 public:
  explicit FakeAnalyzer(FakeAnalyzerScript script)
      : script_(std::move(script)), analyzeGate_(script_.analyzeGate) {}

  void setContext(const std::vector<std::string>& terms) override;
  std::optional<AudioFormat> bestAvailableAudioFormat() override { return script_.format; }
  void start() override;
  std::vector<speech::SpeechResult> analyze(const PcmBuffer& buffer) override;
  std::vector<speech::SpeechResult> endUtterance() override;
  std::vector<speech::SpeechResult> finish() override;

  // Results the next analyze() or endUtterance() returns.
  void push(speech::SpeechResult result);
  // The next analyze() throws this.
  void failNext(std::string message);
  // analyze() waits at this gate first when set.
  void setAnalyzeGate(std::shared_ptr<Gate> gate);

  std::vector<std::vector<std::string>> contexts() const;
  std::vector<PcmBuffer> buffers() const;
  // Waits (bounded) until the analyzer has been given n buffers.
  bool awaitBuffers(size_t n);
  int utteranceEnds() const;
  bool started() const;
  bool finished() const;

 private:
  std::vector<speech::SpeechResult> takePushed();

  const FakeAnalyzerScript script_;
  mutable std::mutex m_;
  std::condition_variable cv_;
  std::vector<std::vector<std::string>> contexts_;
  std::vector<PcmBuffer> buffers_;
  std::deque<speech::SpeechResult> pushed_;
  std::optional<std::string> failNext_;
  std::shared_ptr<Gate> analyzeGate_;
  int utteranceEnds_ = 0;
  bool started_ = false;
  bool finished_ = false;
};

class FakeInstallRequest final : public speech::AssetInstallationRequest {
 public:
  FakeInstallRequest(std::function<void()> onInstall, std::optional<std::string> throws)
      : onInstall_(std::move(onInstall)), throws_(std::move(throws)) {}
  double fractionCompleted() const override { return 0.5; }
  void downloadAndInstall() override;

 private:
  std::function<void()> onInstall_;
  std::optional<std::string> throws_;
};

class FakeSpeechService final : public speech::SpeechService, public speech::AssetInventory {
 public:
  FakeSpeechService() = default;

  // Service.
  std::optional<std::string> supportedLocale(const std::string& equivalentTo) override;
  std::vector<std::string> supportedLocales() override;
  std::vector<std::string> installedLocales() override;
  std::shared_ptr<speech::SpeechTranscriber> makeTranscriber(
      const std::string& locale, const speech::TranscriberOptions& options) override;
  speech::AssetInventory& assetInventory() override { return *this; }
  std::shared_ptr<speech::SpeechAnalyzer> makeAnalyzer(
      std::shared_ptr<speech::SpeechTranscriber> transcriber) override;

  // Inventory.
  std::unique_ptr<speech::AssetInstallationRequest> assetInstallationRequest(
      const speech::SpeechTranscriber& transcriber) override;
  std::vector<std::string> reservedLocales() override;
  int maximumReservedLocales() override;
  bool release(const std::string& locale) override;
  bool reserve(const std::string& locale) override;

  // Script. Set before the runtime uses the service, or under the service's own lock via the
  // setters below.
  void setSupported(std::vector<std::string> locales);
  void setInstalled(std::vector<std::string> locales);
  void setEquivalent(std::string tag, std::string locale);
  void setAnalyzerScript(FakeAnalyzerScript script);
  void setMakeAnalyzerThrows(std::optional<std::string> message);
  // The inventory: what assetInstallationRequest does for a missing model.
  enum class InstallMode { requestInstalls, requestFails, inventoryFails };
  void setInstallMode(InstallMode mode, std::string error = {});
  void setReservations(std::vector<std::string> reserved, int maximum,
                       std::optional<std::string> reserveThrows = std::nullopt);
  // supportedLocales() waits at this gate first when set (a slow probe).
  void setLocaleGate(std::shared_ptr<Gate> gate);

  std::shared_ptr<FakeTranscriber> lastTranscriber() const;
  std::shared_ptr<FakeAnalyzer> lastAnalyzer() const;
  int transcribersMade() const;
  std::vector<std::string> released() const;

 private:
  mutable std::mutex m_;
  std::vector<std::string> supported_{"en-US", "en-GB", "fr-FR"};
  std::vector<std::string> installed_{"en-US"};
  std::map<std::string, std::string> equivalents_;
  FakeAnalyzerScript analyzerScript_;
  std::optional<std::string> makeAnalyzerThrows_;
  InstallMode installMode_ = InstallMode::requestInstalls;
  std::string installError_;
  std::vector<std::string> reserved_;
  std::vector<std::string> released_;
  int maximumReserved_ = 2;
  std::optional<std::string> reserveThrows_;
  std::shared_ptr<Gate> localeGate_;
  std::shared_ptr<FakeTranscriber> lastTranscriber_;
  std::shared_ptr<FakeAnalyzer> lastAnalyzer_;
  int transcribersMade_ = 0;
};

// A producer that delivers what the test pushes, synchronously on the pushing thread.
class FakeProducer final : public CaptionAudioProducer {
 public:
  std::string name() const override { return "fake"; }
  void start(OnBuffer onBuffer, OnPath onPath, Log log) override;
  void stop() override;

  // Delivers one buffer (nothing unless started and not stopped); true when delivered.
  bool push(const PcmBuffer& buffer);
  bool path(const CaptionAudioPathEvent& event);
  bool log(const std::string& line);
  bool started() const;
  bool stopped() const;
  void setStartThrows(std::optional<CaptionRuntimeFailure> failure);

 private:
  mutable std::mutex m_;
  OnBuffer onBuffer_;
  OnPath onPath_;
  Log log_;
  bool started_ = false;
  bool stopped_ = false;
  std::optional<CaptionRuntimeFailure> startThrows_;
};

class FakePlatform final : public CaptionAudioPlatform {
 public:
  std::vector<CaptionAudioInput> listInputs() override { return {}; }
  std::shared_ptr<CaptionAudioProducer> makeProducer(const CaptionAudioSource& source) override;

  // The next producer handed out (a fresh one each time unless a failure is set).
  std::shared_ptr<FakeProducer> lastProducer() const;
  void setMakeThrows(std::optional<CaptionRuntimeFailure> failure);
  // makeProducer fails the way the audio layer says it: with a CaptionAudioError.
  void setMakeFailsWith(std::optional<CaptionAudioError> error);
  // makeProducer waits at this gate first when set.
  void setMakeGate(std::shared_ptr<Gate> gate);
  // The producer made next will throw this from start().
  void setNextStartThrows(std::optional<CaptionRuntimeFailure> failure);

 private:
  mutable std::mutex m_;
  std::shared_ptr<FakeProducer> last_;
  std::optional<CaptionRuntimeFailure> makeThrows_;
  std::optional<CaptionAudioError> makeFailsWith_;
  std::optional<CaptionRuntimeFailure> nextStartThrows_;
  std::shared_ptr<Gate> makeGate_;
};

// A buffer of one format filled with a constant value on every channel.
PcmBuffer constantBuffer(AudioFormat format, uint32_t frames, double value);

}  // namespace quorvel::testing
