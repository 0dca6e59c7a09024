#include "caption_engine/runtime/sphinx/sphinx_analyzer.h"

#include <algorithm>
#include <cmath>

#include "caption_engine/base/pcm_mono.h"
#include "caption_engine/logic/caption_people_text.h"
#include "caption_engine/runtime/sphinx/sphinx_text.h"

namespace quorvel::speech {

SphinxAnalyzer::SphinxAnalyzer(std::shared_ptr<SphinxTranscriber> transcriber,
                               const SphinxModelFiles& model,
                               std::shared_ptr<SphinxDecoderPool> pool)
    : transcriber_(std::move(transcriber)),
      pool_(std::move(pool)),
      lease_(pool_->take(model)),
      decoder_(*lease_.decoder),
      throttle_(transcriber_->options().fastResults,
                std::llround(kVolatileSpacingSeconds * decoder_.sampleRate())) {}

SphinxAnalyzer::~SphinxAnalyzer() {
  // A decoder that failed is not worth keeping; the pool checks the rest.
  if (input_.failed()) lease_.decoder.reset();
  pool_->giveBack(std::move(lease_));
}

double SphinxAnalyzer::seconds(int64_t samples) const {
  return static_cast<double>(samples) / static_cast<double>(decoder_.sampleRate());
}

void SphinxAnalyzer::setContext(const std::vector<std::string>& terms) {
  std::lock_guard lock(mutex_);
  // Checked now, whatever the decoder is doing, so that a failure reaches the caller.
  SphinxPreparedContext prepared = decoder_.prepareContext(terms);
  terms_ = terms;  // their spelling applies to the text at once
  if (utteranceHasSpeech_) {
    pendingContext_ = std::move(prepared);  // taken up when the utterance ends
    return;
  }
  pendingContext_.reset();
  const bool reopen = decoder_.utteranceOpen();
  if (reopen) decoder_.endUtterance();  // no speech in it: nothing is lost
  try {
    decoder_.applyContext(std::move(prepared));
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

void SphinxAnalyzer::start() {
  std::lock_guard lock(mutex_);
  input_.start([&] { decoder_.startStream(); });
}

std::vector<SpeechResult> SphinxAnalyzer::analyze(const PcmBuffer& buffer) {
  std::lock_guard lock(mutex_);
  return input_.guarded([&] {
    const AudioFormat& format = buffer.format();
    if (std::lround(format.sampleRate) != decoder_.sampleRate() || format.channels == 0) {
      throw SpeechServiceError("the analyzer takes " + std::to_string(decoder_.sampleRate()) +
                               " Hz audio, not " + format.description());
    }
    // Audio already in the analyzer's own format goes to the decoder as it is.
    if (format.sampleType == SampleType::int16 && format.channels == 1) {
      return feed(buffer.channelData<int16_t>(0), buffer.frameLength());
    }
    mixDownToMono(buffer, scratch_);
    return feed(scratch_.data(), scratch_.size());
  });
}

std::vector<SpeechResult> SphinxAnalyzer::endUtterance() {
  std::lock_guard lock(mutex_);
  return input_.guarded([&] {
    if (!utteranceHasSpeech_ && lastVolatileText_.empty()) return std::vector<SpeechResult>{};
    return finishUtterance(false);
  });
}

std::vector<SpeechResult> SphinxAnalyzer::finish() {
  std::lock_guard lock(mutex_);
  return input_.guarded([&] {
    std::vector<SpeechResult> out = finishUtterance(true);
    input_.finish();
    return out;
  });
}

SpeechResult SphinxAnalyzer::makeResult(const std::vector<RecognizedWord>& words,
                                        bool isFinal) const {
  SpeechResult r;
  r.isFinal = isFinal;
  const int64_t perFrame = decoder_.samplesPerFrame();
  std::vector<std::string> texts;
  for (const auto& w : words) texts.push_back(w.text);
  CaptionPeopleText::apply(texts, isFinal, terms_);
  for (size_t i = 0; i < words.size(); ++i) {
    std::string text = texts[i];
    if (transcriber_->options().etiquetteReplacements) text = maskProfanities(text);
    if (!r.text.empty()) r.text.push_back(' ');
    r.text += text;
    // A final carries its words with their own times (end frames are inclusive); volatiles,
    // which later results replace, carry none.
    if (!isFinal) continue;
    const int64_t from = std::min(words[i].startFrame * perFrame, samplesFed_);
    const int64_t to = std::clamp<int64_t>((words[i].endFrame + 1) * perFrame, from, samplesFed_);
    r.words.push_back({std::move(text), seconds(from), seconds(to - from)});
  }
  int64_t start = words.empty() ? utteranceSpeechStart_ : words.front().startFrame * perFrame;
  int64_t end = isFinal && !words.empty() ? (words.back().endFrame + 1) * perFrame : samplesFed_;
  end = std::min(end, samplesFed_);
  start = std::clamp<int64_t>(start, 0, end);
  r.rangeStartSeconds = seconds(start);
  r.rangeDurationSeconds = seconds(end - start);
  return r;
}

void SphinxAnalyzer::applyPendingContext() {
  if (!pendingContext_) return;
  SphinxPreparedContext context = std::move(*pendingContext_);
  pendingContext_.reset();
  // Only called while no speech is in progress: an open utterance holds nothing worth keeping.
  const bool reopen = decoder_.utteranceOpen();
  if (reopen) decoder_.endUtterance();
  try {
    decoder_.applyContext(std::move(context));
  } catch (const SpeechServiceError&) {
    // The terms were checked when they were given; what can still fail here (memory) leaves the
    // terms in use before current, and the session goes on with them.
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
  if (atEnd) return out;
  applyPendingContext();
  decoder_.startUtterance();
  return out;
}

std::vector<SpeechResult> SphinxAnalyzer::feed(const int16_t* samples, size_t count) {
  std::vector<SpeechResult> out;
  if (count == 0) return out;
  if (!utteranceHasSpeech_ && pendingContext_) applyPendingContext();
  decoder_.process(samples, count);
  const int64_t before = samplesFed_;
  samplesFed_ += static_cast<int64_t>(count);
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

}  // namespace quorvel::speech
