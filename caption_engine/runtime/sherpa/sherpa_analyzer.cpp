#include "caption_engine/runtime/sherpa/sherpa_analyzer.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>

#include <nlohmann/json.hpp>

#include "caption_engine/base/pcm_mono.h"
#include "caption_engine/logic/caption_people_text.h"
#include "caption_engine/logic/caption_text.h"
#include "caption_engine/runtime/sherpa/sherpa_words.h"
#include "caption_engine/runtime/sphinx/sphinx_text.h"

namespace quorvel::speech {

namespace {

// One encoder frame: 10 ms feature frames, subsampled four times.
constexpr double kFrameSeconds = 0.04;
// Silence fed at the end of the input so that the last chunk is decoded.
constexpr double kTailPaddingSeconds = 0.6;

}  // namespace

std::string sherpaHotwords(const std::vector<std::string>& terms, bool upperCase) {
  std::string out;
  for (const std::string& term : terms) {
    std::string clean;
    for (char c : term) {
      const auto u = static_cast<unsigned char>(c);
      if (std::isalnum(u) || c == '\'' || u >= 0x80) {
        clean.push_back(c);
      } else if (!clean.empty() && clean.back() != ' ') {
        clean.push_back(' ');
      }
    }
    clean = CaptionText::trimmed(clean);
    if (clean.empty()) continue;
    if (upperCase) {
      for (char& c : clean) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    } else {
      clean = CaptionText::lowercased(clean);
    }
    out += clean;
    out.push_back('\n');
  }
  return out;
}

bool SherpaAnalyzer::Snapshot::empty() const {
  return std::none_of(tokens.begin(), tokens.end(), [](const std::string& t) {
    return !(t.size() >= 2 && t.front() == '<' && t.back() == '>') && t != "\xE2\x96\x81" &&
           t != " ";
  });
}

SherpaAnalyzer::SherpaAnalyzer(const SherpaLibrary& library, SherpaModel model, std::string locale,
                               TranscriberOptions options, SherpaEndpointRules rules)
    : lib_(library),
      model_(std::move(model)),
      locale_(std::move(locale)),
      options_(options),
      throttle_(options.fastResults, std::llround(kVolatileSpacingSeconds * kSampleRate)) {
  tokensPath_ = model_.tokens.string();
  encoderPath_ = model_.encoder.string();
  decoderPath_ = model_.decoder.string();
  joinerPath_ = model_.joiner.string();
  modelPath_ = model_.model.string();
  bpePath_ = model_.bpeVocab.string();

  sherpa_api::OnlineRecognizerConfig config;
  std::memset(&config, 0, sizeof(config));
  config.featConfig.sampleRate = kSampleRate;
  config.featConfig.featureDim = 80;
  config.modelConfig.tokens = tokensPath_.c_str();
  config.modelConfig.numThreads = 1;
  config.modelConfig.provider = "cpu";
  switch (model_.kind) {
    case SherpaModelKind::transducer:
      config.modelConfig.transducer.encoder = encoderPath_.c_str();
      config.modelConfig.transducer.decoder = decoderPath_.c_str();
      config.modelConfig.transducer.joiner = joinerPath_.c_str();
      // Modified beam search is what takes hotwords, and it is the more accurate search.
      config.decodingMethod = "modified_beam_search";
      config.maxActivePaths = 4;
      if (model_.takesHotwords()) {
        config.modelConfig.modelingUnit = "bpe";
        config.modelConfig.bpeVocab = bpePath_.c_str();
        config.hotwordsScore = 1.5f;
      }
      break;
    case SherpaModelKind::nemoCtc:
      config.modelConfig.nemoCtc.model = modelPath_.c_str();
      config.decodingMethod = "greedy_search";  // streaming CTC takes no other search
      break;
    case SherpaModelKind::zipformer2Ctc:
      config.modelConfig.zipformer2Ctc.model = modelPath_.c_str();
      config.decodingMethod = "greedy_search";
      break;
  }
  config.enableEndpoint = 1;
  config.rule1MinTrailingSilence = rules.silenceOnly;
  config.rule2MinTrailingSilence = rules.afterSpeech;
  config.rule3MinUtteranceLength = rules.longestSpeech;
  recognizer_ = lib_.createOnlineRecognizer(&config);
  if (!recognizer_) {
    throw SpeechServiceError("the neural recognizer could not load the " + model_.describe() +
                             " of " + locale_ + " in " + model_.directory.string());
  }
}

SherpaAnalyzer::~SherpaAnalyzer() {
  if (stream_) lib_.destroyOnlineStream(stream_);
  if (recognizer_) lib_.destroyOnlineRecognizer(recognizer_);
}

void SherpaAnalyzer::setContext(const std::vector<std::string>& terms) {
  std::lock_guard lock(mutex_);
  terms_ = terms;
  if (!model_.takesHotwords()) {
    note_ = terms.empty() ? std::nullopt
                          : std::optional<std::string>(
                                "the " + model_.describe() +
                                " takes no hotwords; the terms are ignored by the recognizer");
    return;
  }
  note_.reset();
  pendingHotwords_ = sherpaHotwords(terms, model_.upperCase);
  // Nothing is being heard: the new hotwords can take over at once.
  if (input_.open() && lastVolatileText_.empty() && snapshot().empty()) {
    lib_.destroyOnlineStream(stream_);
    stream_ = nullptr;
    openStream();
  }
}

std::optional<std::string> SherpaAnalyzer::contextNote() {
  std::lock_guard lock(mutex_);
  return note_;
}

std::optional<AudioFormat> SherpaAnalyzer::bestAvailableAudioFormat() {
  AudioFormat f;
  f.sampleType = SampleType::float32;
  f.sampleRate = kSampleRate;
  f.channels = 1;
  f.interleaved = true;
  return f;
}

void SherpaAnalyzer::openStream() {
  std::string hotwords = pendingHotwords_.value_or("");
  pendingHotwords_.reset();
  stream_ = hotwords.empty() ? lib_.createOnlineStream(recognizer_)
                             : lib_.createOnlineStreamWithHotwords(recognizer_, hotwords.c_str());
  if (!stream_) throw SpeechServiceError("the neural recognizer could not open a stream");
  streamStartSample_ = samplesFed_;
}

void SherpaAnalyzer::start() {
  std::lock_guard lock(mutex_);
  input_.start([&] { openStream(); });
}

double SherpaAnalyzer::fedSeconds() const { return static_cast<double>(samplesFed_) / kSampleRate; }

void SherpaAnalyzer::decodeReady() {
  while (lib_.isOnlineStreamReady(recognizer_, stream_))
    lib_.decodeOnlineStream(recognizer_, stream_);
}

SherpaAnalyzer::Snapshot SherpaAnalyzer::snapshot() {
  Snapshot s;
  const sherpa_api::OnlineRecognizerResult* r = lib_.getOnlineStreamResult(recognizer_, stream_);
  if (!r) return s;
  for (int32_t i = 0; i < r->count; ++i) {
    s.tokens.emplace_back(r->tokensArr && r->tokensArr[i] ? r->tokensArr[i] : "");
    s.times.push_back(r->timestamps ? r->timestamps[i] : 0.0f);
  }
  // The segment's start in the stream's audio ("start_time"), in seconds.
  double segmentStart = 0;
  if (r->json) {
    auto j = nlohmann::json::parse(r->json, nullptr, false);
    if (j.is_object()) {
      auto it = j.find("start_time");
      if (it != j.end() && it->is_number()) segmentStart = it->get<double>();
    }
  }
  lib_.destroyOnlineRecognizerResult(r);
  s.segmentStart = static_cast<double>(streamStartSample_) / kSampleRate + segmentStart;
  return s;
}

std::optional<SpeechResult> SherpaAnalyzer::makeResult(const Snapshot& s, bool isFinal) const {
  std::vector<SpeechWord> words =
      mergeSherpaTokens(s.tokens, s.times, s.segmentStart, kFrameSeconds);
  if (words.empty()) return std::nullopt;
  std::vector<std::string> texts;
  for (SpeechWord& w : words) {
    if (model_.upperCase) w.text = CaptionText::lowercased(w.text);
    texts.push_back(w.text);
  }
  CaptionPeopleText::apply(texts, isFinal, terms_);
  SpeechResult r;
  r.isFinal = isFinal;
  for (size_t i = 0; i < words.size(); ++i) {
    words[i].text = options_.etiquetteReplacements ? maskProfanities(texts[i]) : texts[i];
    if (!r.text.empty()) r.text.push_back(' ');
    r.text += words[i].text;
  }
  const double fed = fedSeconds();
  const double start = std::clamp(words.front().startSeconds, 0.0, fed);
  double end = fed;
  if (isFinal) {
    end = std::clamp(words.back().startSeconds + words.back().durationSeconds, start, fed);
  }
  r.rangeStartSeconds = start;
  r.rangeDurationSeconds = end - start;
  r.words = std::move(words);
  return r;
}

std::vector<SpeechResult> SherpaAnalyzer::closeUtterance(bool atEnd) {
  std::vector<SpeechResult> out;
  Snapshot s = snapshot();
  if (auto r = makeResult(s, true)) out.push_back(std::move(*r));
  lastVolatileText_.clear();
  throttle_.noteFinal();
  if (atEnd) return out;
  if (pendingHotwords_) {
    // The next utterance is heard with the new hotwords: a new stream from the next sample on.
    // What the old one had not decoded yet is the silence that ended the utterance.
    lib_.destroyOnlineStream(stream_);
    stream_ = nullptr;
    openStream();
  } else {
    lib_.onlineStreamReset(recognizer_, stream_);
  }
  return out;
}

std::vector<SpeechResult> SherpaAnalyzer::feed(const float* samples, size_t count) {
  std::vector<SpeechResult> out;
  if (count == 0) return out;
  lib_.acceptWaveform(stream_, kSampleRate, samples, static_cast<int32_t>(count));
  samplesFed_ += static_cast<int64_t>(count);
  decodeReady();
  if (lib_.onlineStreamIsEndpoint(recognizer_, stream_)) return closeUtterance(false);
  if (!options_.volatileResults) return out;
  Snapshot s = snapshot();
  if (auto r = makeResult(s, false)) {
    if (r->text != lastVolatileText_ && throttle_.admit(samplesFed_)) {
      lastVolatileText_ = r->text;
      out.push_back(std::move(*r));
    }
  }
  return out;
}

std::vector<SpeechResult> SherpaAnalyzer::analyze(const PcmBuffer& buffer) {
  std::lock_guard lock(mutex_);
  return input_.guarded([&] {
    const AudioFormat& format = buffer.format();
    if (std::lround(format.sampleRate) != kSampleRate || format.channels == 0) {
      throw SpeechServiceError("the analyzer takes " + std::to_string(kSampleRate) +
                               " Hz audio, not " + format.description());
    }
    if (format.sampleType == SampleType::float32 && format.channels == 1) {
      return feed(buffer.channelData<float>(0), buffer.frameLength());
    }
    mixDownToMono(buffer, scratch_);
    return feed(scratch_.data(), scratch_.size());
  });
}

std::vector<SpeechResult> SherpaAnalyzer::endUtterance() {
  std::lock_guard lock(mutex_);
  return input_.guarded([&] { return closeUtterance(false); });
}

std::vector<SpeechResult> SherpaAnalyzer::finish() {
  std::lock_guard lock(mutex_);
  return input_.guarded([&] {
    // Silence after the end lets the recognizer decode the last chunk; it is not counted as
    // audio, so no time reaches past the input.
    std::vector<float> tail(static_cast<size_t>(kTailPaddingSeconds * kSampleRate), 0.0f);
    lib_.acceptWaveform(stream_, kSampleRate, tail.data(), static_cast<int32_t>(tail.size()));
    lib_.onlineStreamInputFinished(stream_);
    decodeReady();
    std::vector<SpeechResult> out = closeUtterance(true);
    input_.finish();
    return out;
  });
}

}  // namespace quorvel::speech
