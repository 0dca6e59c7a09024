#include "caption_engine/runtime/sphinx/sphinx_analyzer.h"

#include <algorithm>
#include <cmath>

#include "caption_engine/runtime/sphinx/sphinx_text.h"

namespace quorvel::speech {

namespace {

int16_t toInt16(int16_t v) { return v; }
int16_t toInt16(int32_t v) { return static_cast<int16_t>(v >> 16); }
template <class F>
int16_t toInt16Float(F v) {
  double s = std::clamp(static_cast<double>(v), -1.0, 1.0) * 32767.0;
  return static_cast<int16_t>(std::lround(s));
}
int16_t toInt16(float v) { return toInt16Float(v); }
int16_t toInt16(double v) { return toInt16Float(v); }

template <class T>
void mixDown(const PcmBuffer& buffer, std::vector<int16_t>& out) {
  const uint32_t frames = buffer.frameLength();
  const uint32_t channels = buffer.format().channels;
  const uint32_t stride = buffer.stride();
  out.resize(frames);
  for (uint32_t f = 0; f < frames; ++f) {
    if (channels == 1) {
      out[f] = toInt16(buffer.channelData<T>(0)[f * stride]);
      continue;
    }
    double sum = 0;
    for (uint32_t c = 0; c < channels; ++c) sum += toInt16(buffer.channelData<T>(c)[f * stride]);
    out[f] = static_cast<int16_t>(std::lround(sum / channels));
  }
}

// The buffer as mono 16-bit samples; nothing when its rate is not the decoder's.
std::optional<std::vector<int16_t>> samplesOf(const PcmBuffer& buffer, int sampleRate) {
  if (std::lround(buffer.format().sampleRate) != sampleRate || buffer.format().channels == 0) return std::nullopt;
  std::vector<int16_t> out;
  switch (buffer.format().sampleType) {
    case SampleType::int16: mixDown<int16_t>(buffer, out); break;
    case SampleType::int32: mixDown<int32_t>(buffer, out); break;
    case SampleType::float32: mixDown<float>(buffer, out); break;
    case SampleType::float64: mixDown<double>(buffer, out); break;
  }
  return out;
}

}  // namespace

SphinxAnalyzer::SphinxAnalyzer(std::shared_ptr<SphinxTranscriber> transcriber, const SphinxModelFiles& model)
    : transcriber_(std::move(transcriber)),
      decoder_(model),
      throttle_(transcriber_->options().fastResults,
                std::llround(kVolatileSpacingSeconds * decoder_.sampleRate())) {}

SphinxAnalyzer::~SphinxAnalyzer() {
  if (worker_.joinable()) {
    worker_.request_stop();
    worker_.join();
  }
  transcriber_->finish();
}

double SphinxAnalyzer::seconds(int64_t samples) const {
  return static_cast<double>(samples) / static_cast<double>(decoder_.sampleRate());
}

void SphinxAnalyzer::setContext(const std::vector<std::string>& terms) {
  std::lock_guard lock(mutex_);
  if (utteranceHasSpeech_) {
    pendingTerms_ = terms;  // taken up when the utterance ends
    return;
  }
  pendingTerms_.reset();
  bool reopen = decoder_.utteranceOpen();
  if (reopen) decoder_.endUtterance();  // no speech in it: nothing is lost
  try {
    decoder_.setContext(terms);
  } catch (...) {
    if (reopen) decoder_.startUtterance();
    throw;
  }
  if (reopen) decoder_.startUtterance();
}

std::optional<AudioFormat> SphinxAnalyzer::bestAvailableAudioFormat() {
  std::lock_guard lock(mutex_);
  AudioFormat f;
  f.sampleType = SampleType::int16;
  f.sampleRate = decoder_.sampleRate();
  f.channels = 1;
  f.interleaved = true;
  return f;
}

void SphinxAnalyzer::start(std::shared_ptr<AnalyzerInputStream> input) {
  if (!input) throw SpeechServiceError("the analyzer needs an input stream");
  std::lock_guard lock(mutex_);
  if (started_) throw SpeechServiceError("the analyzer is already running");
  decoder_.startStream();
  started_ = true;
  input_ = std::move(input);
  worker_ = std::jthread([this](std::stop_token stop) { run(stop); });
}

void SphinxAnalyzer::finalizeAndFinishThroughEndOfInput() {
  std::shared_ptr<AnalyzerInputStream> input;
  {
    std::lock_guard lock(mutex_);
    if (!started_) {
      started_ = true;  // a later start is refused: the results stream is over
      done_ = true;
    }
    input = input_;
  }
  if (input) input->finish();
  std::unique_lock lock(mutex_);
  doneChanged_.wait(lock, [this] { return done_; });
  if (failure_) throw SpeechServiceError(*failure_);
  lock.unlock();
  transcriber_->finish();
}

SpeechResult SphinxAnalyzer::makeResult(const std::vector<RecognizedWord>& words, bool isFinal) const {
  SpeechResult r;
  r.isFinal = isFinal;
  for (const auto& w : words) {
    if (!r.text.empty()) r.text.push_back(' ');
    r.text += w.text;
  }
  if (transcriber_->options().etiquetteReplacements) r.text = maskProfanities(r.text);
  const int64_t perFrame = decoder_.samplesPerFrame();
  int64_t start = words.empty() ? utteranceSpeechStart_ : words.front().startFrame * perFrame;
  int64_t end = isFinal && !words.empty() ? (words.back().endFrame + 1) * perFrame : samplesFed_;
  end = std::min(end, samplesFed_);
  start = std::clamp<int64_t>(start, 0, end);
  r.rangeStartSeconds = seconds(start);
  r.rangeDurationSeconds = seconds(end - start);
  return r;
}

void SphinxAnalyzer::applyPendingContext() {
  if (!pendingTerms_) return;
  std::vector<std::string> terms = std::move(*pendingTerms_);
  pendingTerms_.reset();
  // Only called while no speech is in progress: an open utterance holds nothing worth keeping.
  const bool reopen = decoder_.utteranceOpen();
  if (reopen) decoder_.endUtterance();
  try {
    decoder_.setContext(terms);
  } catch (const SpeechServiceError&) {
    // The decoder is back on its base model; the session goes on without the terms.
  }
  if (reopen) decoder_.startUtterance();
}

std::vector<SpeechResult> SphinxAnalyzer::finishUtterance(bool atEnd) {
  std::vector<SpeechResult> out;
  std::vector<RecognizedWord> words = decoder_.endUtterance();
  if (!words.empty() || !lastVolatileText_.empty()) out.push_back(makeResult(words, true));
  utteranceHasSpeech_ = false;
  lastVolatileText_.clear();
  throttle_.noteFinal();
  applyPendingContext();
  if (!atEnd) decoder_.startUtterance();
  return out;
}

std::vector<SpeechResult> SphinxAnalyzer::feed(const PcmBuffer& buffer) {
  auto samples = samplesOf(buffer, decoder_.sampleRate());
  if (!samples) {
    throw SpeechServiceError("the analyzer takes " + std::to_string(decoder_.sampleRate()) + " Hz audio, not " +
                             buffer.format().description());
  }
  std::vector<SpeechResult> out;
  if (samples->empty()) return out;
  if (!utteranceHasSpeech_ && pendingTerms_) applyPendingContext();
  decoder_.process(samples->data(), samples->size());
  const int64_t before = samplesFed_;
  samplesFed_ += static_cast<int64_t>(samples->size());
  const bool speech = decoder_.inSpeech();
  if (speech && !utteranceHasSpeech_) {
    utteranceHasSpeech_ = true;
    utteranceSpeechStart_ = before;
  }
  if (utteranceHasSpeech_ && !speech) return finishUtterance(false);
  if (utteranceHasSpeech_ && transcriber_->options().volatileResults) {
    std::vector<RecognizedWord> words = decoder_.partialWords();
    SpeechResult r = makeResult(words, false);
    if (!r.text.empty() && r.text != lastVolatileText_ && throttle_.admit(samplesFed_)) {
      lastVolatileText_ = r.text;
      out.push_back(std::move(r));
    }
  }
  return out;
}

void SphinxAnalyzer::run(std::stop_token stop) {
  std::optional<std::string> failure;
  while (!failure) {
    std::optional<PcmBuffer> buffer = input_->next(stop);
    if (!buffer) break;
    std::vector<SpeechResult> results;
    {
      std::lock_guard lock(mutex_);
      try {
        results = feed(*buffer);
      } catch (const SpeechServiceError& e) {
        failure = e.what();
      }
    }
    transcriber_->deliver(std::move(results));
  }
  if (!failure && !stop.stop_requested()) {
    std::vector<SpeechResult> results;
    {
      std::lock_guard lock(mutex_);
      try {
        results = finishUtterance(true);
      } catch (const SpeechServiceError& e) {
        failure = e.what();
      }
    }
    transcriber_->deliver(std::move(results));
  }
  if (failure) {
    transcriber_->fail(*failure);
  } else {
    transcriber_->finish();
  }
  {
    std::lock_guard lock(mutex_);
    failure_ = failure;
    done_ = true;
  }
  doneChanged_.notify_all();
}

}  // namespace quorvel::speech
