#include "tests/runtime/fake_speech_service.h"

#include <algorithm>
#include <cstring>

namespace quorvel::testing {

namespace {
constexpr auto kGateLimit = std::chrono::seconds(10);
}

// ---- Gate -----------------------------------------------------------------------------------

void Gate::open() {
  std::lock_guard lock(m_);
  open_ = true;
  cv_.notify_all();
}

bool Gate::wait() {
  std::unique_lock lock(m_);
  arrived_ = true;
  cv_.notify_all();
  return cv_.wait_for(lock, kGateLimit, [this] { return open_; });
}

bool Gate::awaitArrival() {
  std::unique_lock lock(m_);
  return cv_.wait_for(lock, kGateLimit, [this] { return arrived_; });
}

// ---- Analyzer -------------------------------------------------------------------------------

void FakeAnalyzer::setContext(const std::vector<std::string>& terms) {
  if (script_.setContextThrows) throw speech::SpeechServiceError(*script_.setContextThrows);
  std::lock_guard lock(m_);
  contexts_.push_back(terms);
}

void FakeAnalyzer::start() {
  if (script_.startGate) script_.startGate->wait();
  if (script_.startThrows) throw speech::SpeechServiceError(*script_.startThrows);
  std::lock_guard lock(m_);
  started_ = true;
}

std::vector<speech::SpeechResult> FakeAnalyzer::takePushed() {
  std::vector<speech::SpeechResult> out(pushed_.begin(), pushed_.end());
  pushed_.clear();
  return out;
}

std::vector<speech::SpeechResult> FakeAnalyzer::analyze(const PcmBuffer& buffer) {
  std::shared_ptr<Gate> gate;
  {
    std::lock_guard lock(m_);
    gate = analyzeGate_;
  }
  if (gate) gate->wait();
  std::lock_guard lock(m_);
  buffers_.push_back(buffer);
  cv_.notify_all();
  if (failNext_) throw speech::SpeechServiceError(*std::exchange(failNext_, std::nullopt));
  return takePushed();
}

std::vector<speech::SpeechResult> FakeAnalyzer::endUtterance() {
  std::lock_guard lock(m_);
  ++utteranceEnds_;
  cv_.notify_all();
  return takePushed();
}

std::vector<speech::SpeechResult> FakeAnalyzer::finish() {
  if (script_.finishGate) script_.finishGate->wait();
  std::lock_guard lock(m_);
  finished_ = true;
  cv_.notify_all();
  if (script_.finishThrows) throw speech::SpeechServiceError(*script_.finishThrows);
  std::vector<speech::SpeechResult> out = takePushed();
  out.insert(out.end(), script_.atFinish.begin(), script_.atFinish.end());
  return out;
}

void FakeAnalyzer::push(speech::SpeechResult result) {
  std::lock_guard lock(m_);
  pushed_.push_back(std::move(result));
}

void FakeAnalyzer::failNext(std::string message) {
  std::lock_guard lock(m_);
  failNext_ = std::move(message);
}

void FakeAnalyzer::setAnalyzeGate(std::shared_ptr<Gate> gate) {
  std::lock_guard lock(m_);
  analyzeGate_ = std::move(gate);
}

std::vector<std::vector<std::string>> FakeAnalyzer::contexts() const {
  std::lock_guard lock(m_);
  return contexts_;
}

std::vector<PcmBuffer> FakeAnalyzer::buffers() const {
  std::lock_guard lock(m_);
  return buffers_;
}

bool FakeAnalyzer::awaitBuffers(size_t n) {
  std::unique_lock lock(m_);
  return cv_.wait_for(lock, kGateLimit, [&] { return buffers_.size() >= n; });
}

int FakeAnalyzer::utteranceEnds() const {
  std::lock_guard lock(m_);
  return utteranceEnds_;
}

bool FakeAnalyzer::started() const {
  std::lock_guard lock(m_);
  return started_;
}

bool FakeAnalyzer::finished() const {
  std::lock_guard lock(m_);
  return finished_;
}

// ---- Inventory and service ------------------------------------------------------------------

void FakeInstallRequest::downloadAndInstall() {
  if (throws_) throw speech::SpeechServiceError(*throws_);
  onInstall_();
}

std::optional<std::string> FakeSpeechService::supportedLocale(const std::string& equivalentTo) {
  std::lock_guard lock(m_);
  auto it = equivalents_.find(equivalentTo);
  if (it == equivalents_.end()) return std::nullopt;
  return it->second;
}

std::vector<std::string> FakeSpeechService::supportedLocales() {
  std::shared_ptr<Gate> gate;
  {
    std::lock_guard lock(m_);
    gate = localeGate_;
  }
  if (gate) gate->wait();
  std::lock_guard lock(m_);
  return supported_;
}

std::vector<std::string> FakeSpeechService::installedLocales() {
  std::lock_guard lock(m_);
  return installed_;
}

std::shared_ptr<speech::SpeechTranscriber> FakeSpeechService::makeTranscriber(
    const std::string& locale, const speech::TranscriberOptions& options) {
  auto t = std::make_shared<FakeTranscriber>(locale, options);
  std::lock_guard lock(m_);
  lastTranscriber_ = t;
  ++transcribersMade_;
  return t;
}

std::shared_ptr<speech::SpeechAnalyzer> FakeSpeechService::makeAnalyzer(
    std::shared_ptr<speech::SpeechTranscriber>) {
  std::lock_guard lock(m_);
  if (makeAnalyzerThrows_) throw speech::SpeechServiceError(*makeAnalyzerThrows_);
  auto a = std::make_shared<FakeAnalyzer>(analyzerScript_);
  lastAnalyzer_ = a;
  return a;
}

std::unique_ptr<speech::AssetInstallationRequest> FakeSpeechService::assetInstallationRequest(
    const speech::SpeechTranscriber& transcriber) {
  std::lock_guard lock(m_);
  const std::string locale = transcriber.locale();
  if (std::find(installed_.begin(), installed_.end(), locale) != installed_.end()) return nullptr;
  switch (installMode_) {
    case InstallMode::inventoryFails:
      throw speech::SpeechServiceError(installError_);
    case InstallMode::requestFails:
      return std::make_unique<FakeInstallRequest>([] {}, installError_);
    case InstallMode::requestInstalls:
      break;
  }
  return std::make_unique<FakeInstallRequest>(
      [this, locale] {
        std::lock_guard l(m_);
        installed_.push_back(locale);
      },
      std::nullopt);
}

std::vector<std::string> FakeSpeechService::reservedLocales() {
  std::lock_guard lock(m_);
  return reserved_;
}

int FakeSpeechService::maximumReservedLocales() {
  std::lock_guard lock(m_);
  return maximumReserved_;
}

bool FakeSpeechService::release(const std::string& locale) {
  std::lock_guard lock(m_);
  released_.push_back(locale);
  std::erase(reserved_, locale);
  return true;
}

bool FakeSpeechService::reserve(const std::string& locale) {
  std::lock_guard lock(m_);
  if (reserveThrows_) throw speech::SpeechServiceError(*reserveThrows_);
  reserved_.push_back(locale);
  return true;
}

void FakeSpeechService::setSupported(std::vector<std::string> locales) {
  std::lock_guard lock(m_);
  supported_ = std::move(locales);
}

void FakeSpeechService::setInstalled(std::vector<std::string> locales) {
  std::lock_guard lock(m_);
  installed_ = std::move(locales);
}

void FakeSpeechService::setEquivalent(std::string tag, std::string locale) {
  std::lock_guard lock(m_);
  equivalents_[std::move(tag)] = std::move(locale);
}

void FakeSpeechService::setAnalyzerScript(FakeAnalyzerScript script) {
  std::lock_guard lock(m_);
  analyzerScript_ = std::move(script);
}

void FakeSpeechService::setMakeAnalyzerThrows(std::optional<std::string> message) {
  std::lock_guard lock(m_);
  makeAnalyzerThrows_ = std::move(message);
}

void FakeSpeechService::setInstallMode(InstallMode mode, std::string error) {
  std::lock_guard lock(m_);
  installMode_ = mode;
  installError_ = std::move(error);
}

void FakeSpeechService::setReservations(std::vector<std::string> reserved, int maximum,
                                        std::optional<std::string> reserveThrows) {
  std::lock_guard lock(m_);
  reserved_ = std::move(reserved);
  maximumReserved_ = maximum;
  reserveThrows_ = std::move(reserveThrows);
}

void FakeSpeechService::setLocaleGate(std::shared_ptr<Gate> gate) {
  std::lock_guard lock(m_);
  localeGate_ = std::move(gate);
}

std::shared_ptr<FakeTranscriber> FakeSpeechService::lastTranscriber() const {
  std::lock_guard lock(m_);
  return lastTranscriber_;
}

std::shared_ptr<FakeAnalyzer> FakeSpeechService::lastAnalyzer() const {
  std::lock_guard lock(m_);
  return lastAnalyzer_;
}

int FakeSpeechService::transcribersMade() const {
  std::lock_guard lock(m_);
  return transcribersMade_;
}

std::vector<std::string> FakeSpeechService::released() const {
  std::lock_guard lock(m_);
  return released_;
}

// ---- Audio ----------------------------------------------------------------------------------

void FakeProducer::start(OnBuffer onBuffer, OnPath onPath, Log log) {
  std::lock_guard lock(m_);
  if (startThrows_) throw *startThrows_;
  onBuffer_ = std::move(onBuffer);
  onPath_ = std::move(onPath);
  log_ = std::move(log);
  started_ = true;
}

void FakeProducer::stop() {
  std::lock_guard lock(m_);
  stopped_ = true;
}

bool FakeProducer::push(const PcmBuffer& buffer) {
  OnBuffer deliver;
  {
    std::lock_guard lock(m_);
    if (!started_ || stopped_) return false;
    deliver = onBuffer_;
  }
  deliver(buffer);
  return true;
}

bool FakeProducer::path(const CaptionAudioPathEvent& event) {
  OnPath deliver;
  {
    std::lock_guard lock(m_);
    if (!started_ || stopped_) return false;
    deliver = onPath_;
  }
  deliver(event);
  return true;
}

bool FakeProducer::log(const std::string& line) {
  Log deliver;
  {
    std::lock_guard lock(m_);
    if (!started_ || stopped_) return false;
    deliver = log_;
  }
  deliver(line);
  return true;
}

bool FakeProducer::started() const {
  std::lock_guard lock(m_);
  return started_;
}

bool FakeProducer::stopped() const {
  std::lock_guard lock(m_);
  return stopped_;
}

void FakeProducer::setStartThrows(std::optional<CaptionRuntimeFailure> failure) {
  std::lock_guard lock(m_);
  startThrows_ = std::move(failure);
}

std::shared_ptr<CaptionAudioProducer> FakePlatform::makeProducer(const CaptionAudioSource&) {
  std::shared_ptr<Gate> gate;
  {
    std::lock_guard lock(m_);
    gate = makeGate_;
  }
  if (gate) gate->wait();
  std::lock_guard lock(m_);
  if (makeThrows_) throw *makeThrows_;
  if (makeFailsWith_) throw *makeFailsWith_;
  auto p = std::make_shared<FakeProducer>();
  if (nextStartThrows_) p->setStartThrows(std::exchange(nextStartThrows_, std::nullopt));
  last_ = p;
  return p;
}

std::shared_ptr<FakeProducer> FakePlatform::lastProducer() const {
  std::lock_guard lock(m_);
  return last_;
}

void FakePlatform::setMakeThrows(std::optional<CaptionRuntimeFailure> failure) {
  std::lock_guard lock(m_);
  makeThrows_ = std::move(failure);
}

void FakePlatform::setMakeFailsWith(std::optional<CaptionAudioError> error) {
  std::lock_guard lock(m_);
  makeFailsWith_ = std::move(error);
}

void FakePlatform::setMakeGate(std::shared_ptr<Gate> gate) {
  std::lock_guard lock(m_);
  makeGate_ = std::move(gate);
}

void FakePlatform::setNextStartThrows(std::optional<CaptionRuntimeFailure> failure) {
  std::lock_guard lock(m_);
  nextStartThrows_ = std::move(failure);
}

PcmBuffer constantBuffer(AudioFormat format, uint32_t frames, double value) {
  PcmBuffer b(format, frames);
  b.setFrameLength(frames);
  for (uint32_t ch = 0; ch < format.channels; ++ch) {
    for (uint32_t k = 0; k < frames; ++k) {
      const size_t i = static_cast<size_t>(k) * b.stride();
      switch (format.sampleType) {
        case SampleType::float32:
          b.channelData<float>(ch)[i] = static_cast<float>(value);
          break;
        case SampleType::int16:
          b.channelData<int16_t>(ch)[i] = static_cast<int16_t>(value * 32768.0);
          break;
        case SampleType::int32:
          b.channelData<int32_t>(ch)[i] = static_cast<int32_t>(value * 2147483648.0);
          break;
        case SampleType::float64:
          b.channelData<double>(ch)[i] = value;
          break;
      }
    }
  }
  return b;
}

}  // namespace quorvel::testing
