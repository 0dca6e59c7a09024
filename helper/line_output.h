// Writes whole lines to two descriptors (the protocol stream and the diagnostics stream) without
// ever making a caller wait for the reader at the other end. A line that can go out at once is
// written by the caller; otherwise it is queued and one writer thread sends it when the
// descriptor accepts it. Lines of one stream come out in the order they were pushed.
//
// Every write carries at most PIPE_BUF bytes and is made so that it cannot wait: with RWF_NOWAIT
// where the descriptor supports it (pipes, sockets), otherwise right after poll() reported room.
// So on a pipe no write blocks or splits; a longer line goes out in such pieces, and while one is
// in pieces nothing else is written to the same file (standard output and standard error may be
// one pipe). The protocol stream packs several whole lines into one write; the diagnostics
// stream writes one line per write.
//
// Each stream's queue is bounded in bytes: droppable lines beyond the bound are dropped and
// counted, and once the queue has drained to half its bound a diagnostic line says how many were
// dropped. Lines pushed with droppable = false are always queued.
//
// A write that fails for good (the reader closed its end) drops that line, as does any line
// pushed to a stream that has failed so.
//
// Threads: push may be called from any thread. finish is for the process's exit path and is
// called once; pushes after it are discarded. The destructor stops the writer without flushing.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace quorvel::helper {

class LineOutput {
 public:
  enum class Stream { out, err };

  struct Options {
    size_t outQueueBytes = size_t{8} << 20;
    size_t errQueueBytes = size_t{1} << 20;
    std::string errPrefix;  // put before the diagnostics this class writes about itself
  };

  LineOutput(int outFd, int errFd, Options options);
  ~LineOutput();
  LineOutput(const LineOutput&) = delete;
  LineOutput& operator=(const LineOutput&) = delete;

  // line must end with a line feed. Never waits for the reader of the descriptor.
  void push(Stream stream, std::string line, bool droppable);

  // Stops taking lines and gives the writer the first half of `budget` to send what is queued
  // and, if a line is then half written, the second half to complete just that line. Returns
  // within `budget` with no write in progress or about to start (unless a write is stuck on a
  // descriptor that reported room it did not have), so that the process can end without cutting
  // a line that the reader was still taking.
  void finish(std::chrono::milliseconds budget);

 private:
  struct Queue {
    int fd = -1;
    size_t bound = 0;
    bool packLines = false;
    std::deque<std::string> lines;
    size_t bytes = 0;       // of all queued lines, the head counted whole
    size_t headSent = 0;    // bytes of the head line already written
    size_t dropped = 0;     // droppable lines refused since the last report
    bool dropping = false;  // refusing droppable lines until the queue drains to half the bound
    bool failed = false;    // the reader is gone; everything is discarded
    bool noWait = true;     // the descriptor may support RWF_NOWAIT
  };

  // What one write that cannot wait did.
  struct Written {
    enum class Kind { wrote, notReady, failed, gone } kind;
    size_t bytes = 0;
    bool noWaitUnsupported = false;  // the descriptor refused RWF_NOWAIT
  };

  Queue& queue(Stream s) { return s == Stream::out ? out_ : err_; }
  // Whether q has bytes that may be written now. Guarded by mutex_, like all that follows.
  bool hasWork(const Queue& q) const;
  // Whether the other stream, on the same file, is in the middle of a line.
  bool heldBack(const Queue& q) const;
  // Counts a droppable line that does not fit; true when the line is to be queued.
  bool admit(Queue& q, size_t size, bool droppable);
  std::string nextPiece(const Queue& q) const;
  void settle(Queue& q, const Written& w);
  void reportDrops(Queue& q);
  void wake();
  void run();

  // One write of piece that cannot wait (see above). Called without the lock, by the thread
  // that set writing_.
  static Written writePiece(int fd, const std::string& piece, bool noWait);

  Options options_;
  int wakeFd_ = -1;
  bool sameFile_ = false;

  std::mutex mutex_;
  std::condition_variable idle_;  // writing_ cleared or a queue shrank
  Queue out_;
  Queue err_;
  bool writing_ = false;   // a thread is writing to one of the descriptors
  bool closed_ = false;    // finish began: pushes are discarded
  bool lineOnly_ = false;  // finish is past its budget: only complete half-written lines
  bool stopped_ = false;   // no write may start
  bool quit_ = false;      // the writer thread is to return
  std::thread writer_;
};

}  // namespace quorvel::helper
