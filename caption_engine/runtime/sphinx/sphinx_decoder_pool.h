// Loaded decoders kept between sessions, so that a session started soon after another on the same
// model does not load the model again (a quarter of a second of CPU, and 100 MB of memory
// allocated and touched anew). An analyzer gives its decoder back when it is done with it; a
// decoder that can be made as it was when loaded (see SphinxDecoder::resetForReuse) is kept for a
// while and then freed, so that a helper left idle falls back to its small size. One decoder is
// kept at most: sessions run one at a time. A kept decoder is used again only while its model's
// files are unchanged on disk.
//
// Threads: any thread may take and give back. Freeing a decoder whose time is up happens on a
// thread of the pool's own, which the destructor ends and joins (it never calls out).
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "caption_engine/runtime/sphinx/sphinx_decoder.h"

namespace quorvel::speech {

class SphinxDecoderPool {
 public:
  using Clock = std::chrono::steady_clock;

  // keep: how long a decoder given back waits for a session to take it (0: never kept).
  explicit SphinxDecoderPool(Clock::duration keep);
  ~SphinxDecoderPool();
  SphinxDecoderPool(const SphinxDecoderPool&) = delete;
  SphinxDecoderPool& operator=(const SphinxDecoderPool&) = delete;

  // A decoder taken from the pool, with what the pool knows of its model.
  struct Lease {
    std::unique_ptr<SphinxDecoder> decoder;
    std::string fingerprint;  // of the model's files, taken before the model was loaded
    bool reused = false;      // the decoder was kept from an earlier session, not loaded now
  };

  // A decoder for the model: the kept one when it was loaded from the same, unchanged files, else
  // a newly loaded one. Throws SpeechServiceError when the model cannot be loaded.
  Lease take(const SphinxModelFiles& files);
  // Keeps the decoder for the next take, when it can be reset for another stream; frees it
  // otherwise. A decoder kept before is freed.
  void giveBack(Lease lease);

  // Whether a decoder is kept now.
  bool holdsDecoder() const;
  // Waits until no decoder is kept (its time is up), for at most `limit`; false if one still is.
  bool waitUntilEmpty(Clock::duration limit) const;

 private:
  struct Kept {
    Lease lease;
    Clock::time_point until;
  };
  void expireLoop();
  // Frees a decoder and hands what the allocator then holds unused back to the system.
  static void release(std::unique_ptr<SphinxDecoder> decoder);

  const Clock::duration keep_;
  mutable std::mutex lock_;
  mutable std::condition_variable changed_;
  std::optional<Kept> kept_;  // guarded by lock_
  bool ending_ = false;       // guarded by lock_
  std::thread expirer_;       // started with the first decoder kept; guarded by lock_
};

}  // namespace quorvel::speech
