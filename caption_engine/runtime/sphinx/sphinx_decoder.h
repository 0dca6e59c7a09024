// One pocketsphinx decoder with its model: streaming utterances, word segments, and contextual
// terms. A decoder whose dictionary was never changed can be made as it was when loaded and used
// for another stream, which then decodes exactly as a freshly loaded one would.
// Not thread-safe: its owner serialises every call (SphinxAnalyzer holds its lock).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "caption_engine/runtime/sphinx/sphinx_model_store.h"

struct ps_decoder_s;
struct cmd_ln_s;
struct ngram_model_s;
struct logmath_s;

namespace quorvel::speech {

// A recognised word (filler words removed, variant folded) and the frames it spans, counted from
// the start of the stream, end inclusive.
struct RecognizedWord {
  std::string text;
  int startFrame = 0;
  int endFrame = 0;
};

// Contextual terms made ready for a decoder: their language model read and the pronunciations of
// the words its dictionary lacks guessed. Making one changes nothing in the decoder, so it can be
// made while an utterance is being decoded; applying it waits for the utterance to end.
class SphinxPreparedContext {
 public:
  SphinxPreparedContext() = default;
  ~SphinxPreparedContext();
  SphinxPreparedContext(SphinxPreparedContext&& other) noexcept;
  SphinxPreparedContext& operator=(SphinxPreparedContext&& other) noexcept;
  SphinxPreparedContext(const SphinxPreparedContext&) = delete;
  SphinxPreparedContext& operator=(const SphinxPreparedContext&) = delete;

  // True when the terms hold no usable word: applying returns to the base model.
  bool clears() const { return model_ == nullptr; }

 private:
  friend class SphinxDecoder;
  ngram_model_s* model_ = nullptr;                             // owned
  std::vector<std::pair<std::string, std::string>> newWords_;  // word, phones
};

class SphinxDecoder {
 public:
  // Interpolation weight of the contextual terms' language model against the base model.
  static constexpr float kContextWeight = 0.05f;

  // Loads the model (about 0.25 s of CPU, 90 MB). Throws SpeechServiceError when it cannot.
  explicit SphinxDecoder(const SphinxModelFiles& files);
  ~SphinxDecoder();
  SphinxDecoder(const SphinxDecoder&) = delete;
  SphinxDecoder& operator=(const SphinxDecoder&) = delete;

  int sampleRate() const { return sampleRate_; }
  int samplesPerFrame() const { return samplesPerFrame_; }

  // Starts the stream (frames count from here) and its first utterance.
  void startStream();
  bool utteranceOpen() const { return utteranceOpen_; }
  // Feeds samples to the open utterance. Throws SpeechServiceError when decoding fails.
  void process(const int16_t* samples, size_t count);
  // Whether the voice detector hears speech now.
  bool inSpeech() const;
  // The open utterance's current best words.
  std::vector<RecognizedWord> partialWords();
  // Ends the open utterance and returns its final words; the next utterance starts with
  // startUtterance(). Throws SpeechServiceError.
  std::vector<RecognizedWord> endUtterance();
  void startUtterance();

  // Makes terms ready to apply (an empty list, or terms without a usable word, return to the
  // base model). Any time; changes nothing. Throws SpeechServiceError when the terms' language
  // model cannot be made.
  SphinxPreparedContext prepareContext(const std::vector<std::string>& terms) const;
  // Makes prepared terms current. Only between utterances. Words the dictionary lacks are added
  // with their guessed pronunciation (they stay in the dictionary). Throws SpeechServiceError;
  // the terms in use before stay current after a failure.
  void applyContext(SphinxPreparedContext context);
  // prepareContext and applyContext in one step.
  void setContext(const std::vector<std::string>& terms) { applyContext(prepareContext(terms)); }
  // The dictionary's pronunciation of a word, if it has one: the decoder's own (which holds the
  // words of the language model and those added for terms), or else the model's dictionary file
  // (read for the purpose).
  std::optional<std::string> pronunciation(const std::string& word) const;

  // The files the model was loaded from.
  const SphinxModelFiles& files() const { return files_; }
  // True while the decoder can be made as it was when loaded: its dictionary has not learnt a
  // word and no decoding step has failed.
  bool reusable() const { return !dictionaryChanged_ && !failed_; }
  // Makes a reusable decoder as it was when loaded, for a new stream: the utterance in progress
  // is dropped, the base model is current again and the recognizer forgets what it learnt about
  // the last stream's audio (its running cepstral means). False, leaving the decoder unusable for
  // another stream, when it is not reusable or the recognizer refuses.
  bool resetForReuse();

 private:
  std::vector<RecognizedWord> words();
  std::optional<std::string> loadedPronunciation(const std::string& word) const;

  cmd_ln_s* config_ = nullptr;
  logmath_s* logmath_ = nullptr;  // the language models' log-math
  ps_decoder_s* ps_ = nullptr;
  std::string baseSearch_;
  int sampleRate_ = 16000;
  int samplesPerFrame_ = 160;
  bool utteranceOpen_ = false;
  // The terms' searches take turns between two names, so that a new one is built while the
  // current one stays intact. Empty while the base model is current.
  std::string contextSearch_;
  SphinxModelFiles files_;
  // The running cepstral means as the model set them up, before any audio.
  std::vector<float> initialCmnMean_, initialCmnVar_, initialCmnSum_;
  int initialCmnFrames_ = 0;
  bool dictionaryChanged_ = false;
  bool failed_ = false;
};

}  // namespace quorvel::speech
