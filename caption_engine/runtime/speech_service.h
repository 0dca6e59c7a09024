// The on-device speech service the runtime is built on: locales and their models, a transcriber
// with its options, an analyzer that the session's one thread feeds synchronously, buffer by
// buffer, and an asset inventory with installation requests and reservations. The runtime only
// relies on what this header declares; the recognizer behind it is an implementation detail.
//
// Errors: operations documented as throwing throw SpeechServiceError, whose what() is the
// localized description shown to hosts.
#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "caption_engine/base/audio_format.h"
#include "caption_engine/base/pcm_buffer.h"

namespace quorvel::speech {

struct SpeechServiceError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The locale's model is not there, or lacks files it needs.
struct SpeechModelMissingError : SpeechServiceError {
  using SpeechServiceError::SpeechServiceError;
};

struct TranscriberOptions {
  bool etiquetteReplacements = false;  // mask profanities in volatile and final text
  bool volatileResults = false;        // report partial hypotheses
  bool fastResults = false;            // report partials at the recognizer's own rate
  bool audioTimeRange = false;         // results carry their audio time range
  bool operator==(const TranscriberOptions&) const = default;
};

// One recognized word of a result and the audio it covers, on the same timeline as its result.
struct SpeechWord {
  std::string text;
  double startSeconds = 0.0;
  double durationSeconds = 0.0;
  bool operator==(const SpeechWord&) const = default;
};

// One transcription result: its text, the audio it covers (seconds of the analyzer's input
// timeline, counted from the first sample it was given) and whether it is final. Its words, in
// order, when the recognizer times them (empty otherwise).
struct SpeechResult {
  std::string text;
  double rangeStartSeconds = 0.0;
  double rangeDurationSeconds = 0.0;
  bool isFinal = false;
  std::vector<SpeechWord> words;
};

// A locale and the options its results are made with. Immutable; any thread.
class SpeechTranscriber {
 public:
  virtual ~SpeechTranscriber() = default;
  virtual const std::string& locale() const = 0;
  virtual const TranscriberOptions& options() const = 0;
};

// One stream of recognition, fed in order by one thread (the session's): start, then analyze()
// per buffer, endUtterance() wherever the audio breaks off, and finish() at the end. Each call
// returns the results it produced, in order. setContext and bestAvailableAudioFormat may be
// called from any thread, also while another thread feeds the stream.
class SpeechAnalyzer {
 public:
  virtual ~SpeechAnalyzer() = default;
  // Replaces the contextual terms the recognizer favours (an empty list clears them). Terms that
  // arrive while speech is being heard take effect when that utterance ends. Throws when the
  // terms cannot be used; the terms in use then stay as they were.
  virtual void setContext(const std::vector<std::string>& terms) = 0;
  // A line for the log about the terms last given (that the model cannot use them, say), or
  // nothing. Read after setContext.
  virtual std::optional<std::string> contextNote() { return std::nullopt; }
  // The input format the analyzer takes, or nothing.
  virtual std::optional<AudioFormat> bestAvailableAudioFormat() = 0;
  // Opens the stream. Throws.
  virtual void start() = 0;
  // Recognizes one buffer in the analyzer's format. Throws when decoding fails; the stream is
  // over then, and every later call throws the same error.
  virtual std::vector<SpeechResult> analyze(const PcmBuffer& buffer) = 0;
  // Closes the utterance in progress, so that its words arrive now as a final result; the
  // stream goes on with the next buffer. Throws like analyze().
  virtual std::vector<SpeechResult> endUtterance() = 0;
  // The end of the input: closes the utterance in progress and ends the stream; nothing may be
  // fed afterwards. Throws like analyze().
  virtual std::vector<SpeechResult> finish() = 0;
};

class AssetInstallationRequest {
 public:
  virtual ~AssetInstallationRequest() = default;
  // 0 to 1; may be read from any thread while the installation runs.
  virtual double fractionCompleted() const = 0;
  // Installs the model; blocks until done. Throws.
  virtual void downloadAndInstall() = 0;
};

class AssetInventory {
 public:
  virtual ~AssetInventory() = default;
  // A request installing what the transcriber's locale lacks, or nullptr when nothing is missing.
  // Throws when no request can be made.
  virtual std::unique_ptr<AssetInstallationRequest> assetInstallationRequest(
      const SpeechTranscriber& transcriber) = 0;
  virtual std::vector<std::string> reservedLocales() = 0;
  virtual int maximumReservedLocales() = 0;
  virtual bool release(const std::string& locale) = 0;
  // Whether the locale is now reserved. Throws.
  virtual bool reserve(const std::string& locale) = 0;
};

class SpeechService {
 public:
  virtual ~SpeechService() = default;
  // The supported locale the service considers equivalent to the tag, if any.
  virtual std::optional<std::string> supportedLocale(const std::string& equivalentTo) = 0;
  // BCP-47 identifiers, in the service's own order.
  virtual std::vector<std::string> supportedLocales() = 0;
  virtual std::vector<std::string> installedLocales() = 0;
  virtual std::shared_ptr<SpeechTranscriber> makeTranscriber(const std::string& locale,
                                                             const TranscriberOptions& options) = 0;
  virtual AssetInventory& assetInventory() = 0;
  // The installed locales whose models run on the neural engine (none by default).
  virtual std::vector<std::string> neuralLocales() { return {}; }
  // An analyzer with the transcriber as its only module. Throws when the model cannot be loaded
  // (SpeechModelMissingError when it is not there).
  virtual std::shared_ptr<SpeechAnalyzer> makeAnalyzer(
      std::shared_ptr<SpeechTranscriber> transcriber) = 0;
};

}  // namespace quorvel::speech
