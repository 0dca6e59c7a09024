#include "caption_engine/api/apple_caption_engine.h"

#include <exception>
#include <utility>

#include "caption_engine/api/caption_completion_wait.h"
#include "caption_engine/api/caption_engine_event_relay.h"
#include "caption_engine/api/caption_engine_translation.h"
#include "caption_engine/logic/caption_terms.h"
#include "caption_engine/logic/caption_text.h"
#include "caption_engine/runtime/caption_engine_core.h"

namespace quorvel {

namespace {

// Operations that throw let only CaptionEngineError out: a runtime failure is translated, any
// other exception becomes a start failure with its text.
template <class F>
auto rethrowingEngineErrors(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const CaptionEngineError&) {
    throw;
  } catch (const CaptionRuntimeFailure& failure) {
    throw CaptionEngineTranslation::error(failure);
  } catch (const std::exception& e) {
    throw CaptionEngineError(CaptionEngineErrorCode::startFailed, e.what(), false);
  }
}

template <class T>
T valueOrThrow(const CaptionRuntimeOutcome<T>& outcome) {
  if (!outcome.isOk()) throw CaptionEngineTranslation::error(outcome.failure());
  return outcome.value();
}

}  // namespace

struct AppleCaptionEngine::Impl {
  // The relay is made first: the core's callbacks hold it weakly.
  explicit Impl(std::shared_ptr<CaptionEngineEventRelay> r)
      : relay(std::move(r)), core(CaptionEngineEventRelay::runtimeEvents(relay)) {}
  Impl(std::shared_ptr<CaptionEngineEventRelay> r, std::shared_ptr<CaptionAudioPlatform> platform,
       std::shared_ptr<speech::SpeechService> service)
      : relay(std::move(r)),
        core(CaptionEngineEventRelay::runtimeEvents(relay), std::move(platform),
             std::move(service)) {}

  std::shared_ptr<CaptionEngineEventRelay> relay;
  CaptionEngineCore core;
};

AppleCaptionEngine::AppleCaptionEngine()
    : impl_(std::make_unique<Impl>(std::make_shared<CaptionEngineEventRelay>())) {}

AppleCaptionEngine::AppleCaptionEngine(std::shared_ptr<CaptionAudioPlatform> platform,
                                       std::shared_ptr<speech::SpeechService> service)
    : impl_(std::make_unique<Impl>(std::make_shared<CaptionEngineEventRelay>(), std::move(platform),
                                   std::move(service))) {}

AppleCaptionEngine::~AppleCaptionEngine() = default;

void AppleCaptionEngine::setObservers(CaptionEngineObservers observers) {
  impl_->relay->setObservers(std::move(observers));
}

void AppleCaptionEngine::setLevelReadingObserver(CaptionLevelReadingObserver observer) {
  impl_->relay->setReadingObserver(std::move(observer));
}

CaptionEngineCapabilities AppleCaptionEngine::capabilities() {
  try {
    return CaptionEngineTranslation::capabilities(impl_->core.capabilities());
  } catch (const std::exception& e) {
    return CaptionEngineCapabilities{
        CaptionEngineKind::apple, false, std::string(e.what()), {}, {}};
  }
}

CaptionEngineStartAck AppleCaptionEngine::start(const CaptionEngineStartArgs& args) {
  return rethrowingEngineErrors([&] {
    CaptionsStartRequest request;
    request.sessionId = CaptionText::trimmed(args.sessionId);
    request.locale = CaptionText::trimmed(args.locale);
    if (request.sessionId.empty() || request.locale.empty()) {
      throw CaptionEngineError(CaptionEngineErrorCode::startFailed,
                               "a start needs a session and a locale", false);
    }
    request.source = args.source;
    request.fast = args.fast;
    request.terms = CaptionTerms::normalise(args.terms);
    request.installIfMissing = args.installIfMissing;
    request.profanityFilter = args.profanityFilter;

    CaptionCompletionWait<CaptionRuntimeOutcome<CaptionRuntimeStartResult>> wait;
    impl_->core.start(request, wait.completion());
    auto result = valueOrThrow(wait.wait());
    return CaptionEngineStartAck{result.locale, static_cast<double>(result.startedAtMs)};
  });
}

CaptionEngineStopAck AppleCaptionEngine::stop(const std::optional<std::string>& sessionId) {
  try {
    CaptionCompletionWait<CaptionRuntimeOutcome<CaptionRuntimeStopResult>> wait;
    impl_->core.stop(sessionId, wait.completion());
    auto outcome = wait.wait();
    if (!outcome.isOk()) return CaptionEngineStopAck::nothing;
    return CaptionEngineStopAck{outcome.value().finals,
                                static_cast<double>(outcome.value().seconds)};
  } catch (const std::exception&) {
    return CaptionEngineStopAck::nothing;
  }
}

void AppleCaptionEngine::setTerms(const std::string& sessionId,
                                  const std::vector<std::string>& terms) {
  rethrowingEngineErrors([&] {
    CaptionCompletionWait<CaptionRuntimeOutcome<CaptionRuntimeVoid>> wait;
    impl_->core.setContext(sessionId, terms, wait.completion());
    valueOrThrow(wait.wait());
  });
}

CaptionEngineStatus AppleCaptionEngine::status() {
  return CaptionEngineTranslation::status(impl_->core.status());
}

std::vector<CaptionAudioInput> AppleCaptionEngine::listInputs() {
  try {
    return impl_->core.audioInputs();
  } catch (const std::exception&) {
    return {};
  }
}

void AppleCaptionEngine::dispose() { stop(std::nullopt); }

bool AppleCaptionEngine::installLocale(const std::string& locale) {
  return rethrowingEngineErrors([&] {
    CaptionCompletionWait<CaptionRuntimeOutcome<bool>> wait;
    impl_->core.installLocale(locale, wait.completion());
    return valueOrThrow(wait.wait());
  });
}

bool AppleCaptionEngine::reserveLocale(const std::string& locale) {
  try {
    CaptionCompletionWait<bool> wait;
    impl_->core.reserveLocale(locale, wait.completion());
    return wait.wait();
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace quorvel
