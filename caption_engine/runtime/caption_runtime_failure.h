// The engine's one failure value, its codes, and the outcome every asynchronous runtime operation
// completes with exactly once.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

#include "caption_engine/base/caption_error_code.h"
#include "caption_engine/base/caption_state.h"
#include "caption_engine/runtime/caption_json.h"

namespace quorvel {

// The runtime's failures carry the codes the helper writes on the wire.
using CaptionRuntimeErrorCode = CaptionErrorCode;

// A failure: what failed, the text for the host, optional detail (a JSON object), the session
// state that goes with it and whether the same request may succeed if tried again.
struct CaptionRuntimeFailure : std::exception {
  CaptionRuntimeFailure(CaptionRuntimeErrorCode code, std::string message,
                        std::optional<Json> context, CaptionState state, bool retriable)
      : code(code),
        message(std::move(message)),
        context(std::move(context)),
        state(state),
        retriable(retriable) {}

  const char* what() const noexcept override { return message.c_str(); }
  bool operator==(const CaptionRuntimeFailure& o) const {
    return code == o.code && message == o.message && context == o.context && state == o.state &&
           retriable == o.retriable;
  }

  CaptionRuntimeErrorCode code;
  std::string message;
  std::optional<Json> context;
  CaptionState state;
  bool retriable;
};

// The outcome of an asynchronous operation: a value, or a failure. Operations without a value use
// CaptionRuntimeOutcome<std::monostate>.
template <class T>
class CaptionRuntimeOutcome {
 public:
  static CaptionRuntimeOutcome ok(T value) { return CaptionRuntimeOutcome(std::move(value)); }
  static CaptionRuntimeOutcome failed(CaptionRuntimeFailure failure) {
    return CaptionRuntimeOutcome(std::move(failure));
  }

  bool isOk() const { return std::holds_alternative<T>(v_); }
  const T& value() const { return std::get<T>(v_); }
  const CaptionRuntimeFailure& failure() const { return std::get<CaptionRuntimeFailure>(v_); }

 private:
  explicit CaptionRuntimeOutcome(T value) : v_(std::move(value)) {}
  explicit CaptionRuntimeOutcome(CaptionRuntimeFailure failure) : v_(std::move(failure)) {}
  std::variant<T, CaptionRuntimeFailure> v_;
};

using CaptionRuntimeVoid = std::monostate;

}  // namespace quorvel
