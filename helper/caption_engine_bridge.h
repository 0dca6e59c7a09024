// The helper's one way into the caption engine. CaptionEngine owns the engine core for the life of
// the process and turns every runtime outcome into a helper outcome that is ready for the wire;
// replyCaptionOutcome writes such an outcome as the ack or err of a command.
//
// Threads: shared() may be called from any thread; the first call creates the instance. Each
// operation calls its completion exactly once, on the thread where the core completes (the
// caller's own thread when captions are unavailable, a runtime thread otherwise).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "caption_engine/logic/caption_start_request.h"
#include "caption_engine/runtime/caption_engine_core.h"
#include "caption_engine/runtime/caption_json.h"
#include "caption_engine/runtime/caption_runtime_failure.h"
#include "helper/helper_error_code.h"

namespace quorvel::helper {

class CaptionEngine {
 public:
  // The runtime's failure, whose code is already the wire code.
  using Failure = CaptionRuntimeFailure;

  // ok with a result dictionary, failed with a Failure, or okVoid.
  class Outcome {
   public:
    enum class Kind { ok, failed, okVoid };
    static Outcome ok(Json result) { return Outcome(std::move(result)); }
    static Outcome failed(Failure failure) { return Outcome(std::move(failure)); }
    static Outcome okVoid() { return Outcome(std::monostate{}); }

    Kind kind() const { return static_cast<Kind>(v_.index()); }
    const Json& result() const { return std::get<Json>(v_); }
    const Failure& failure() const { return std::get<Failure>(v_); }

   private:
    explicit Outcome(std::variant<Json, Failure, std::monostate> v) : v_(std::move(v)) {}
    std::variant<Json, Failure, std::monostate> v_;
  };
  using Completion = std::function<void(Outcome)>;

  // The process-wide bridge, whose core forwards every runtime event onto the wire.
  static CaptionEngine& shared();

  explicit CaptionEngine(std::unique_ptr<CaptionEngineCore> core);
  CaptionEngine(const CaptionEngine&) = delete;
  CaptionEngine& operator=(const CaptionEngine&) = delete;

  CaptionEngineCore& core() { return *core_; }

  void start(const CaptionsStartRequest& request, Completion completion);
  void stop(std::optional<std::string> sessionId, Completion completion);
  void setContext(std::string sessionId, std::vector<std::string> terms, Completion completion);
  void installLocale(std::string locale, Completion completion);

  // The mapping of each operation's runtime outcome.
  static Outcome outcomeOf(const CaptionRuntimeOutcome<CaptionRuntimeStartResult>& outcome);
  static Outcome outcomeOf(const CaptionRuntimeOutcome<CaptionRuntimeStopResult>& outcome);
  static Outcome outcomeOf(const CaptionRuntimeOutcome<CaptionRuntimeVoid>& outcome);
  static Outcome outcomeOf(const CaptionRuntimeOutcome<bool>& outcome);

 private:
  std::unique_ptr<CaptionEngineCore> core_;
};

// ok: ack with the result; okVoid: ack with a null result; failed: err with the failure's code,
// message, retriable flag and, when it has entries, its context (never its state).
void replyCaptionOutcome(std::string_view id, const CaptionEngine::Outcome& outcome);

}  // namespace quorvel::helper
