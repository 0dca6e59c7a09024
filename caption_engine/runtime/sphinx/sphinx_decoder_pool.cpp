#include "caption_engine/runtime/sphinx/sphinx_decoder_pool.h"

#include <malloc.h>

#include <filesystem>
#include <system_error>
#include <utility>

namespace quorvel::speech {

namespace {

namespace fs = std::filesystem;

// Sizes and modification times of the model's files: a model replaced on disk (a locale installed
// again) gives another fingerprint, and the kept decoder is not used for it.
std::string fingerprint(const SphinxModelFiles& files) {
  std::string out;
  auto note = [&out](const fs::path& path) {
    std::error_code ec;
    const auto size = fs::is_regular_file(path, ec) ? fs::file_size(path, ec) : 0;
    const auto time = fs::last_write_time(path, ec).time_since_epoch().count();
    out += path.string() + '\0' + std::to_string(size) + '\0' + std::to_string(time) + '\0';
  };
  note(files.languageModel);
  note(files.dictionary);
  note(files.acousticModel);
  std::error_code ec;
  for (fs::directory_iterator it(files.acousticModel, ec), end; !ec && it != end;
       it.increment(ec)) {
    note(it->path());
  }
  return out;
}

}  // namespace

SphinxDecoderPool::SphinxDecoderPool(Clock::duration keep) : keep_(keep) {}

SphinxDecoderPool::~SphinxDecoderPool() {
  std::optional<Kept> kept;
  std::thread expirer;
  {
    std::lock_guard lock(lock_);
    ending_ = true;
    kept = std::move(kept_);
    kept_.reset();
    expirer = std::move(expirer_);
  }
  changed_.notify_all();
  if (expirer.joinable()) expirer.join();
  if (kept) release(std::move(kept->lease.decoder));
}

SphinxDecoderPool::Lease SphinxDecoderPool::take(const SphinxModelFiles& files) {
  const std::string wanted = fingerprint(files);
  std::optional<Kept> kept;
  {
    std::lock_guard lock(lock_);
    kept = std::move(kept_);
    kept_.reset();
  }
  if (kept && kept->lease.fingerprint == wanted) {
    kept->lease.reused = true;
    return std::move(kept->lease);
  }
  // Another model, or this one changed since: the kept decoder goes before the new one loads.
  if (kept) release(std::move(kept->lease.decoder));
  return Lease{std::make_unique<SphinxDecoder>(files), wanted, false};
}

void SphinxDecoderPool::giveBack(Lease lease) {
  if (!lease.decoder) return;
  if (keep_ <= Clock::duration::zero() || !lease.decoder->resetForReuse()) {
    release(std::move(lease.decoder));
    return;
  }
  Kept fresh{std::move(lease), Clock::now() + keep_};
  std::optional<Kept> replaced;
  {
    std::lock_guard lock(lock_);
    if (ending_) {
      replaced = std::move(fresh);
    } else {
      replaced = std::move(kept_);
      kept_ = std::move(fresh);
      if (!expirer_.joinable()) {
        try {
          expirer_ = std::thread([this] { expireLoop(); });
        } catch (const std::system_error&) {
          // Without a thread to free it in time, the decoder is not kept.
          replaced = std::move(kept_);
          kept_.reset();
        }
      }
    }
  }
  changed_.notify_all();
  if (replaced) release(std::move(replaced->lease.decoder));
}

bool SphinxDecoderPool::holdsDecoder() const {
  std::lock_guard lock(lock_);
  return kept_.has_value();
}

bool SphinxDecoderPool::waitUntilEmpty(Clock::duration limit) const {
  std::unique_lock lock(lock_);
  return changed_.wait_for(lock, limit, [this] { return !kept_.has_value(); });
}

void SphinxDecoderPool::expireLoop() {
  std::unique_lock lock(lock_);
  while (!ending_) {
    if (!kept_) {
      changed_.wait(lock);
      continue;
    }
    if (Clock::now() < kept_->until) {
      changed_.wait_until(lock, kept_->until);
      continue;
    }
    std::unique_ptr<SphinxDecoder> expired = std::move(kept_->lease.decoder);
    kept_.reset();
    lock.unlock();
    release(std::move(expired));
    changed_.notify_all();
    lock.lock();
  }
}

void SphinxDecoderPool::release(std::unique_ptr<SphinxDecoder> decoder) {
  if (!decoder) return;
  decoder.reset();
  // The model was allocated on session threads, whose allocator pools keep what was freed: without
  // handing it back, an idle helper would stay a model's worth of memory larger.
  malloc_trim(0);
}

}  // namespace quorvel::speech
