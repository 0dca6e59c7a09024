#include "caption_engine/runtime/sphinx/sphinx_decoder.h"

#include <pocketsphinx.h>
#include <sphinxbase/ckd_alloc.h>
#include <sphinxbase/cmn.h>
#include <sphinxbase/err.h>
#include <sphinxbase/feat.h>
#include <sphinxbase/ngram_model.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "caption_engine/runtime/speech_service.h"
#include "caption_engine/runtime/sphinx/context_terms.h"
#include "caption_engine/runtime/sphinx/sphinx_dictionary.h"
#include "caption_engine/runtime/sphinx/sphinx_text.h"

namespace quorvel::speech {

namespace {

constexpr const char* kContextSearchA = "quorvel_context_a";
constexpr const char* kContextSearchB = "quorvel_context_b";

static_assert(sizeof(mfcc_t) == sizeof(float), "cepstra are floats in this build of sphinxbase");

std::vector<float> copyOf(const mfcc_t* values, int32 count) {
  if (!values || count <= 0) return {};
  return std::vector<float>(values, values + count);
}

void restore(mfcc_t* into, const std::vector<float>& values) {
  if (into) std::copy(values.begin(), values.end(), into);
}

void silenceRecognizerLog() {
  static std::once_flag once;
  std::call_once(once, [] { err_set_logfp(nullptr); });
}

// The terms' language model, read from a temporary ARPA file.
ngram_model_t* readArpa(cmd_ln_t* config, logmath_t* logmath, const std::string& arpa) {
  const char* dir = std::getenv("TMPDIR");
  std::string path = std::string(dir && dir[0] == '/' ? dir : "/tmp") + "/quorvel-terms-XXXXXX";
  int fd = mkstemp(path.data());
  if (fd < 0)
    throw SpeechServiceError(std::string("cannot write the terms model: ") + std::strerror(errno));
  size_t done = 0;
  bool ok = true;
  while (done < arpa.size()) {
    ssize_t n = ::write(fd, arpa.data() + done, arpa.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  ngram_model_t* lm = ok ? ngram_model_read(config, path.c_str(), NGRAM_ARPA, logmath) : nullptr;
  ::unlink(path.c_str());
  if (!lm) throw SpeechServiceError("the recognizer rejected the contextual terms' language model");
  return lm;
}

}  // namespace

SphinxDecoder::SphinxDecoder(const SphinxModelFiles& files) : files_(files) {
  silenceRecognizerLog();
  config_ = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", files.acousticModel.c_str(), "-dict",
                        files.dictionary.c_str(), "-logfn", "/dev/null", nullptr);
  const auto unloadable = [&] {
    return SpeechServiceError("the speech model in " + files.acousticModel.parent_path().string() +
                              " could not be loaded");
  };
  if (!config_) throw unloadable();
  // The language model is read first, with log-math made as the decoder makes its own, so that
  // the decoder is given only the pronunciations of words the model can recognise: a dictionary
  // holds far more words than its language model, and the rest would only take memory (about a
  // sixth of a loaded model). Words outside the language model are looked up in the whole
  // dictionary when contextual terms need them.
  logmath_ = logmath_init(cmd_ln_float32_r(config_, "-logbase"), 0,
                          cmd_ln_boolean_r(config_, "-bestpath"));
  ngram_model_t* lm =
      logmath_ ? ngram_model_read(config_, files.languageModel.c_str(), NGRAM_AUTO, logmath_)
               : nullptr;
  if (!lm) {
    if (logmath_) logmath_free(logmath_);
    cmd_ln_free_r(config_);
    throw unloadable();
  }
  {
    std::unordered_set<std::string_view> vocabulary;
    const uint32 unigrams = ngram_model_get_counts(lm)[0];
    for (uint32 i = 0; i < unigrams; ++i) {
      if (const char* w = ngram_word(lm, static_cast<int32>(i))) vocabulary.insert(w);
    }
    SphinxDictionaryExcerpt excerpt(files.dictionary,
                                    [&](std::string_view w) { return vocabulary.count(w) > 0; });
    if (excerpt.path()) cmd_ln_set_str_r(config_, "-dict", excerpt.path()->c_str());
    ps_ = ps_init(config_);
    cmd_ln_set_str_r(config_, "-dict", files.dictionary.c_str());
  }
  // The search over the model's language model, under the name the decoder gives its own.
  // (ps_get_search is avoided: it leaks an iterator on every call.)
  baseSearch_ = "_default";
  const bool searching = ps_ && ps_set_lm(ps_, baseSearch_.c_str(), lm) == 0 &&
                         ps_set_search(ps_, baseSearch_.c_str()) == 0;
  ngram_model_free(lm);  // the search keeps its own reference
  if (!searching) {
    if (ps_) ps_free(ps_);
    logmath_free(logmath_);
    cmd_ln_free_r(config_);
    throw unloadable();
  }
  cmd_ln_t* live = ps_get_config(ps_);
  sampleRate_ = static_cast<int>(cmd_ln_float32_r(live, "-samprate"));
  int frameRate = cmd_ln_int32_r(live, "-frate");
  if (sampleRate_ <= 0 || frameRate <= 0) {
    ps_free(ps_);
    logmath_free(logmath_);
    cmd_ln_free_r(config_);
    throw SpeechServiceError("the speech model has no usable sample or frame rate");
  }
  samplesPerFrame_ = sampleRate_ / frameRate;
  // Live cepstral mean normalisation adapts to the audio it hears, from a start the model sets:
  // a decoder used for a second stream would decode it differently unless that start is restored.
  if (const feat_t* feat = ps_get_feat(ps_); feat && feat->cmn_struct) {
    const cmn_t* cmn = feat->cmn_struct;
    initialCmnMean_ = copyOf(cmn->cmn_mean, cmn->veclen);
    initialCmnVar_ = copyOf(cmn->cmn_var, cmn->veclen);
    initialCmnSum_ = copyOf(cmn->sum, cmn->veclen);
    initialCmnFrames_ = cmn->nframe;
  }
}

bool SphinxDecoder::resetForReuse() {
  if (!reusable()) return false;
  failed_ = true;  // until the reset is complete
  if (utteranceOpen_) {
    utteranceOpen_ = false;
    if (ps_end_utt(ps_) < 0) return false;
  }
  if (!contextSearch_.empty()) {
    if (ps_set_search(ps_, baseSearch_.c_str()) < 0) return false;
    ps_unset_search(ps_, kContextSearchA);
    ps_unset_search(ps_, kContextSearchB);
    contextSearch_.clear();
  }
  const feat_t* feat = ps_get_feat(ps_);
  if (!feat || !feat->cmn_struct) return false;
  cmn_t* cmn = feat->cmn_struct;
  restore(cmn->cmn_mean, initialCmnMean_);
  restore(cmn->cmn_var, initialCmnVar_);
  restore(cmn->sum, initialCmnSum_);
  cmn->nframe = initialCmnFrames_;
  failed_ = false;
  return true;
}

SphinxDecoder::~SphinxDecoder() {
  if (utteranceOpen_) ps_end_utt(ps_);
  ps_free(ps_);
  logmath_free(logmath_);
  cmd_ln_free_r(config_);
}

void SphinxDecoder::startStream() {
  if (ps_start_stream(ps_) < 0)
    throw SpeechServiceError("the recognizer could not start its stream");
  startUtterance();
}

void SphinxDecoder::startUtterance() {
  if (utteranceOpen_) return;
  if (ps_start_utt(ps_) < 0)
    throw SpeechServiceError("the recognizer could not start an utterance");
  utteranceOpen_ = true;
}

void SphinxDecoder::process(const int16_t* samples, size_t count) {
  if (!utteranceOpen_) startUtterance();
  if (count == 0) return;
  if (ps_process_raw(ps_, samples, count, FALSE, FALSE) < 0) {
    failed_ = true;
    throw SpeechServiceError("the recognizer failed to decode the audio");
  }
}

bool SphinxDecoder::inSpeech() const { return utteranceOpen_ && ps_get_in_speech(ps_) != 0; }

std::vector<RecognizedWord> SphinxDecoder::words() {
  std::vector<RecognizedWord> out;
  for (ps_seg_t* seg = ps_seg_iter(ps_); seg; seg = ps_seg_next(seg)) {
    const char* w = ps_seg_word(seg);
    if (!w || isFillerWord(w)) continue;
    int sf = 0;
    int ef = 0;
    ps_seg_frames(seg, &sf, &ef);
    out.push_back({baseWord(w), sf, ef});
  }
  return out;
}

std::vector<RecognizedWord> SphinxDecoder::partialWords() {
  if (!utteranceOpen_) return {};
  int32 score = 0;
  if (!ps_get_hyp(ps_, &score)) return {};
  return words();
}

std::vector<RecognizedWord> SphinxDecoder::endUtterance() {
  if (!utteranceOpen_) return {};
  utteranceOpen_ = false;
  if (ps_end_utt(ps_) < 0) {
    failed_ = true;
    throw SpeechServiceError("the recognizer failed to finish an utterance");
  }
  int32 score = 0;
  if (!ps_get_hyp(ps_, &score)) return {};
  return words();
}

std::optional<std::string> SphinxDecoder::loadedPronunciation(const std::string& word) const {
  char* phones = ps_lookup_word(ps_, word.c_str());
  if (!phones) return std::nullopt;
  std::string out = phones;
  ckd_free(phones);
  return out;
}

std::optional<std::string> SphinxDecoder::pronunciation(const std::string& word) const {
  if (auto loaded = loadedPronunciation(word)) return loaded;
  auto found = dictionaryPronunciations(files_.dictionary, {word});
  if (found.empty()) return std::nullopt;
  return found.begin()->second.front();
}

SphinxPreparedContext::~SphinxPreparedContext() {
  if (model_) ngram_model_free(model_);
}

SphinxPreparedContext::SphinxPreparedContext(SphinxPreparedContext&& other) noexcept
    : model_(std::exchange(other.model_, nullptr)), newWords_(std::move(other.newWords_)) {}

SphinxPreparedContext& SphinxPreparedContext::operator=(SphinxPreparedContext&& other) noexcept {
  if (this != &other) {
    if (model_) ngram_model_free(model_);
    model_ = std::exchange(other.model_, nullptr);
    newWords_ = std::move(other.newWords_);
  }
  return *this;
}

SphinxPreparedContext SphinxDecoder::prepareContext(const std::vector<std::string>& terms) const {
  SphinxPreparedContext prepared;
  const auto termWords = contextTermWords(terms);
  const std::string arpa = contextLanguageModelArpa(termWords);
  if (arpa.empty()) return prepared;
  prepared.model_ = readArpa(ps_get_config(ps_), logmath_, arpa);
  // Words the decoder's dictionary lacks: those the model's whole dictionary has are added with
  // its pronunciations, the others with a guessed one, each once.
  std::vector<std::string> missing;
  std::set<std::string> seen;
  for (const auto& words : termWords) {
    for (const auto& w : words) {
      if (seen.insert(w).second && !loadedPronunciation(w)) missing.push_back(w);
    }
  }
  if (missing.empty()) return prepared;
  // The whole dictionary is read once for the words and every piece a guess looks up; a guess
  // that found pieces may look up others, which the next reading answers.
  std::set<std::string> asked(missing.begin(), missing.end());
  std::map<std::string, std::vector<std::string>> known;
  auto lookup = [&](const std::string& piece) -> std::optional<std::string> {
    if (auto loaded = loadedPronunciation(piece)) return loaded;
    if (auto it = known.find(piece); it != known.end()) return it->second.front();
    asked.insert(piece);
    return std::nullopt;
  };
  for (size_t reading = 0; reading < 3; ++reading) {
    const size_t before = asked.size();
    known = dictionaryPronunciations(files_.dictionary, asked);
    for (const auto& w : missing) {
      if (!known.count(w)) guessPronunciation(w, lookup);
    }
    if (asked.size() == before) break;
  }
  for (const auto& w : missing) {
    if (auto it = known.find(w); it != known.end()) {
      for (size_t v = 0; v < it->second.size(); ++v) {
        prepared.newWords_.emplace_back(v == 0 ? w : w + "(" + std::to_string(v + 1) + ")",
                                        it->second[v]);
      }
    } else if (auto phones = guessPronunciation(w, lookup)) {
      prepared.newWords_.emplace_back(w, *phones);
    }
  }
  return prepared;
}

void SphinxDecoder::applyContext(SphinxPreparedContext context) {
  if (utteranceOpen_)
    throw SpeechServiceError("contextual terms can only change between utterances");
  if (context.clears()) {
    if (!contextSearch_.empty()) {
      if (ps_set_search(ps_, baseSearch_.c_str()) < 0)
        throw SpeechServiceError("the recognizer lost its base model");
      contextSearch_.clear();
    }
    return;
  }
  // The dictionary learns the new words first; the search is rebuilt once, with the last.
  for (size_t i = 0; i < context.newWords_.size(); ++i) {
    const auto& [word, phones] = context.newWords_[i];
    if (loadedPronunciation(word)) continue;  // added by an earlier context
    const bool last = i + 1 == context.newWords_.size();
    dictionaryChanged_ = true;  // even a refused word may have left something behind
    if (ps_add_word(ps_, word.c_str(), phones.c_str(), last ? TRUE : FALSE) < 0) {
      throw SpeechServiceError("the recognizer could not add the word \"" + word + "\"");
    }
  }

  ngram_model_t* base = ps_get_lm(ps_, baseSearch_.c_str());
  if (!base) throw SpeechServiceError("the recognizer has no base language model to bias");
  ngram_model_t* models[2] = {base, context.model_};
  char baseName[] = "base";
  char termsName[] = "terms";
  char* names[2] = {baseName, termsName};
  const float32 weights[2] = {1.0f - kContextWeight, kContextWeight};
  // The set keeps its own references to both models.
  ngram_model_t* set = ngram_model_set_init(ps_get_config(ps_), models, names, weights, 2);
  if (!set)
    throw SpeechServiceError(
        "the recognizer could not combine the contextual terms' language model");
  const std::string name = contextSearch_ == kContextSearchA ? kContextSearchB : kContextSearchA;
  const int rc = ps_set_lm(ps_, name.c_str(), set);
  ngram_model_free(set);  // the search keeps its own reference
  if (rc < 0 || ps_set_search(ps_, name.c_str()) < 0) {
    ps_set_search(ps_, contextSearch_.empty() ? baseSearch_.c_str() : contextSearch_.c_str());
    throw SpeechServiceError("the recognizer could not use the contextual terms");
  }
  contextSearch_ = name;
}

}  // namespace quorvel::speech
