// Locales and model assets: matching a locale tag to a supported locale, the installation check,
// model installation with progress, reservations, and the capability queries.
#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "caption_engine/runtime/caption_runtime_impl.h"

namespace quorvel {

namespace {

// The comparison key of a locale: its BCP-47 identifier, lower-cased. Underscores, as in
// "en_US", are read as the hyphens of the BCP-47 spelling.
std::string localeKey(std::string tag) {
  for (char& c : tag) {
    if (c == '_') c = '-';
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return tag;
}

CaptionRuntimeFailure installFailed(const std::string& id, const std::string& description) {
  Json c = Json::object();
  c["locale"] = id;
  return CaptionRuntimeFailure(CaptionRuntimeErrorCode::captionsModelMissing,
                               "installing " + id + " assets failed: " + description, c,
                               CaptionState::modelMissing, false);
}

}  // namespace

std::optional<std::string> CaptionRuntimeImpl::resolveLocale(const std::string& requested) {
  if (auto equivalent = service_->supportedLocale(requested)) return equivalent;
  const std::vector<std::string> supported = service_->supportedLocales();
  const std::string want = localeKey(requested);
  for (const std::string& l : supported) {
    if (localeKey(l) == want) return l;
  }
  std::string language = want;
  size_t begin = want.find_first_not_of('-');
  if (begin != std::string::npos) {
    language = want.substr(begin, want.find('-', begin) - begin);
  }
  for (const std::string& l : supported) {
    const std::string key = localeKey(l);
    if (key == language || key.rfind(language + "-", 0) == 0) return l;
  }
  return std::nullopt;
}

bool CaptionRuntimeImpl::isInstalled(const std::string& locale) {
  const std::string key = localeKey(locale);
  for (const std::string& l : service_->installedLocales()) {
    if (localeKey(l) == key) return true;
  }
  return false;
}

void CaptionRuntimeImpl::installAssets(const speech::SpeechTranscriber& transcriber,
                                       const std::string& id) {
  events_.raiseAssetProgress(id, 0.0, false, std::nullopt);
  std::shared_ptr<speech::AssetInstallationRequest> request;
  try {
    request = service_->assetInventory().assetInstallationRequest(transcriber);
  } catch (const std::exception& e) {
    events_.raiseAssetProgress(id, 0.0, true, std::string(e.what()));
    throw installFailed(id, e.what());
  }
  if (!request) {
    events_.raiseAssetProgress(id, 1.0, true, std::nullopt);
    return;
  }

  // Reports the download's progress every 500 ms until it is cancelled; it is always joined
  // before the final event, so no progress report can follow it.
  std::jthread poller([request, events = events_, id](std::stop_token stop) {
    std::mutex m;
    std::condition_variable_any cv;
    for (;;) {
      {
        std::unique_lock lock(m);
        cv.wait_for(lock, stop, std::chrono::milliseconds(500), [] { return false; });
      }
      if (stop.stop_requested()) return;
      events.raiseAssetProgress(id, request->fractionCompleted(), false, std::nullopt);
    }
  });
  std::string error;
  try {
    request->downloadAndInstall();
  } catch (const std::exception& e) {
    error = e.what();
    if (error.empty()) error = "unknown error";
  }
  poller.request_stop();
  poller.join();
  if (!error.empty()) {
    events_.raiseAssetProgress(id, 0.0, true, error);
    throw installFailed(id, error);
  }
  caps_->invalidate();
  events_.raiseAssetProgress(id, 1.0, true, std::nullopt);
}

void CaptionRuntimeImpl::installLocale(std::string locale, Completion<bool> completion) {
  std::thread([self = shared_from_this(), locale = std::move(locale),
               completion = queued(std::move(completion))] {
    const std::optional<std::string> resolved = self->resolveLocale(locale);
    if (!resolved) {
      const std::string message =
          "locale " + locale + " is not one SpeechTranscriber supports on " + "this Mac";
      self->events_.raiseAssetProgress(locale, 0.0, true, message);
      Json c = Json::object();
      c["reason"] = "unsupported_locale";
      c["locale"] = locale;
      completion(CaptionRuntimeOutcome<bool>::failed(
          CaptionRuntimeFailure(CaptionRuntimeErrorCode::captionsModelMissing, message, c,
                                CaptionState::modelMissing, false)));
      return;
    }
    const std::string id = *resolved;
    try {
      auto transcriber = self->service_->makeTranscriber(id, speech::TranscriberOptions{});
      self->installAssets(*transcriber, id);
    } catch (const CaptionRuntimeFailure& f) {
      completion(CaptionRuntimeOutcome<bool>::failed(f));
      return;
    } catch (const std::exception& e) {
      completion(CaptionRuntimeOutcome<bool>::failed(installFailed(id, e.what())));
      return;
    }
    completion(CaptionRuntimeOutcome<bool>::ok(self->isInstalled(id)));
  }).detach();
}

void CaptionRuntimeImpl::reserveLocale(std::string locale, std::function<void(bool)> completion) {
  std::thread([self = shared_from_this(), locale = std::move(locale),
               completion = queued(std::move(completion))] {
    const CaptionRuntimeEvents& events = self->events_;
    const std::optional<std::string> resolved = self->resolveLocale(locale);
    if (!resolved) {
      events.raiseLog("[captions] reserve: " + locale + " is not a supported locale");
      completion(false);
      return;
    }
    const std::string id = *resolved;
    speech::AssetInventory& inventory = self->service_->assetInventory();
    bool answer = false;
    try {
      const std::vector<std::string> reserved = inventory.reservedLocales();
      for (const std::string& r : reserved) {
        if (localeKey(r) == localeKey(id)) {
          completion(true);
          return;
        }
      }
      const int maximum = inventory.maximumReservedLocales();
      if (!reserved.empty() && static_cast<int64_t>(reserved.size()) >= maximum) {
        inventory.release(reserved.front());
        events.raiseLog("[captions] reserve: released " + reserved.front() + " to make room");
      }
      answer = inventory.reserve(id);
    } catch (const std::exception& e) {
      events.raiseLog("[captions] reserve: " + id + " failed: " + e.what());
      completion(false);
      return;
    }
    events.raiseLog("[captions] reserve: " + id + " " + (answer ? "reserved" : "not reserved"));
    completion(answer);
  }).detach();
}

CaptionRuntimeCapabilities CaptionRuntimeImpl::capabilities(int64_t waitMs) {
  return caps_->capabilities(waitMs);
}

CaptionRuntimeCapabilities CaptionRuntimeImpl::capabilities() { return caps_->capabilities(); }

}  // namespace quorvel
