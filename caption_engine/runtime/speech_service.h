// The on-device speech service the runtime is built on: locales and their models, a transcriber
// with its options and results stream, an analyzer fed from an unbounded input stream, and an
// asset inventory with installation requests and reservations. The runtime only relies on what
// this header declares; the recognizer behind it is an implementation detail.
//
// Errors: operations documented as throwing throw SpeechServiceError, whose what() is the
// localized description shown to hosts.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <vector>

#include "caption_engine/audio/audio_format.h"
#include "caption_engine/audio/pcm_buffer.h"

namespace quorvel::speech {

struct SpeechServiceError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct TranscriberOptions {
  bool etiquetteReplacements = false;  // mask profanities in volatile and final text
  bool volatileResults = false;        // report partial hypotheses
  bool fastResults = false;            // report partials at the recognizer's own rate
  bool audioTimeRange = false;         // results carry their audio time range
  bool operator==(const TranscriberOptions&) const = default;
};

// One transcription result: its text, the audio it covers (seconds of the input stream's own
// timeline) and whether it is final.
struct SpeechResult {
  std::string text;
  double rangeStartSeconds = 0.0;
  double rangeDurationSeconds = 0.0;
  bool isFinal = false;
};

// The analyzer's input: an unbounded, thread-safe queue of buffers. Any thread may yield; one
// reader takes buffers in order. Yielding after finish has no effect.
class AnalyzerInputStream {
 public:
  void yield(PcmBuffer buffer);
  void finish();
  bool finished() const;
  // Blocks until a buffer is available (returned), or the stream is finished and drained, or stop
  // is requested (both nothing).
  std::optional<PcmBuffer> next(std::stop_token stop);

 private:
  mutable std::mutex mutex_;
  std::condition_variable_any ready_;
  std::deque<PcmBuffer> queue_;
  bool finished_ = false;
};

class SpeechTranscriber {
 public:
  virtual ~SpeechTranscriber() = default;
  virtual const std::string& locale() const = 0;
  virtual const TranscriberOptions& options() const = 0;
  // The results stream, read by one consumer: blocks for the next result; nothing when the stream
  // has ended or stop was requested; throws SpeechServiceError when the stream failed.
  virtual std::optional<SpeechResult> nextResult(std::stop_token stop) = 0;
};

class SpeechAnalyzer {
 public:
  virtual ~SpeechAnalyzer() = default;
  // Replaces the contextual terms the recognizer favours (an empty list clears them). Throws.
  virtual void setContext(const std::vector<std::string>& terms) = 0;
  // The input format the analyzer prefers, or nothing.
  virtual std::optional<AudioFormat> bestAvailableAudioFormat() = 0;
  // Starts analysing the stream on the analyzer's own thread; returns once running. Throws.
  virtual void start(std::shared_ptr<AnalyzerInputStream> input) = 0;
  // After the input stream is finished: analyses what is left, delivers the pending results and
  // ends the transcriber's results stream. Blocks until done. Throws.
  virtual void finalizeAndFinishThroughEndOfInput() = 0;
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
  // An analyzer with the transcriber as its only module. Throws when the model cannot be loaded.
  virtual std::shared_ptr<SpeechAnalyzer> makeAnalyzer(
      std::shared_ptr<SpeechTranscriber> transcriber) = 0;
};

}  // namespace quorvel::speech
