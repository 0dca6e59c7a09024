#include "helper/caption_engine_bridge.h"

#include "helper/caption_wire.h"
#include "helper/wire.h"

namespace quorvel::helper {

CaptionEngine& CaptionEngine::shared() {
  // Created once, safely from any thread, and never released: the core lives as long as the
  // process, and completions may run until the very end.
  static CaptionEngine* const instance =
      new CaptionEngine(std::make_unique<CaptionEngineCore>(CaptionWire::events()));
  return *instance;
}

CaptionEngine::CaptionEngine(std::unique_ptr<CaptionEngineCore> core) : core_(std::move(core)) {}

namespace {
template <class T>
CaptionEngine::Outcome failedOutcome(const CaptionRuntimeOutcome<T>& outcome) {
  return CaptionEngine::Outcome::failed(outcome.failure());
}
}  // namespace

CaptionEngine::Outcome CaptionEngine::outcomeOf(
    const CaptionRuntimeOutcome<CaptionRuntimeStartResult>& outcome) {
  if (!outcome.isOk()) return failedOutcome(outcome);
  return Outcome::ok(CaptionWire::startAck(outcome.value()));
}

CaptionEngine::Outcome CaptionEngine::outcomeOf(
    const CaptionRuntimeOutcome<CaptionRuntimeStopResult>& outcome) {
  if (!outcome.isOk()) return failedOutcome(outcome);
  Json d = Json::object();
  d["finals"] = outcome.value().finals;
  d["seconds"] = outcome.value().seconds;
  return Outcome::ok(std::move(d));
}

CaptionEngine::Outcome CaptionEngine::outcomeOf(
    const CaptionRuntimeOutcome<CaptionRuntimeVoid>& outcome) {
  if (!outcome.isOk()) return failedOutcome(outcome);
  return Outcome::okVoid();
}

CaptionEngine::Outcome CaptionEngine::outcomeOf(const CaptionRuntimeOutcome<bool>& outcome) {
  if (!outcome.isOk()) return failedOutcome(outcome);
  Json d = Json::object();
  d["installed"] = outcome.value();
  return Outcome::ok(std::move(d));
}

void CaptionEngine::start(const CaptionsStartRequest& request, Completion completion) {
  core_->start(request, [completion = std::move(completion)](
                            CaptionRuntimeOutcome<CaptionRuntimeStartResult> outcome) {
    completion(outcomeOf(outcome));
  });
}

void CaptionEngine::stop(std::optional<std::string> sessionId, Completion completion) {
  core_->stop(std::move(sessionId), [completion = std::move(completion)](
                                        CaptionRuntimeOutcome<CaptionRuntimeStopResult> outcome) {
    completion(outcomeOf(outcome));
  });
}

void CaptionEngine::setContext(std::string sessionId, std::vector<std::string> terms,
                               Completion completion) {
  core_->setContext(
      std::move(sessionId), std::move(terms),
      [completion = std::move(completion)](CaptionRuntimeOutcome<CaptionRuntimeVoid> outcome) {
        completion(outcomeOf(outcome));
      });
}

void CaptionEngine::installLocale(std::string locale, Completion completion) {
  core_->installLocale(std::move(locale),
                       [completion = std::move(completion)](CaptionRuntimeOutcome<bool> outcome) {
                         completion(outcomeOf(outcome));
                       });
}

void replyCaptionOutcome(std::string_view id, const CaptionEngine::Outcome& outcome) {
  switch (outcome.kind()) {
    case CaptionEngine::Outcome::Kind::ok:
      Wire::ack(id, outcome.result());
      return;
    case CaptionEngine::Outcome::Kind::okVoid:
      Wire::ackVoid(id);
      return;
    case CaptionEngine::Outcome::Kind::failed: {
      const auto& f = outcome.failure();
      Wire::err(id, rawValue(f.code), f.message, f.retriable, f.context);
      return;
    }
  }
}

}  // namespace quorvel::helper
