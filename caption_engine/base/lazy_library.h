// A shared library opened the first time something needs it, rather than by the dynamic linker at
// start-up: a process that never decodes a file or never captures does not pay for loading the
// decoder's or the sound server's library and everything they depend on. Once open, a library
// stays open for the life of the process (none of those we load this way can be unloaded safely).
// Make each one never to be destroyed (`*new LazyLibrary(...)`) where threads may still use it
// while the process exits.
//
// Threads: any thread. The first call to open() opens the library; calls that come meanwhile wait
// for it and all see the same result.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace quorvel {

class LazyLibrary {
 public:
  // The library's file names (sonames), tried in order until one opens.
  explicit LazyLibrary(std::vector<std::string> names);
  LazyLibrary(const LazyLibrary&) = delete;
  LazyLibrary& operator=(const LazyLibrary&) = delete;

  // Opens the library on the first call; true when it is open.
  bool open();
  // Why the library could not be opened or a function was missing; empty while all is well.
  std::string error() const;

  // Looks up a function of the open library into `function`; false (and an error naming it) when
  // the library is not open or lacks it.
  template <class F>
  bool bind(F*& function, const char* name) {
    function = reinterpret_cast<F*>(symbol(name));
    return function != nullptr;
  }
  void* symbol(const char* name);

 private:
  const std::vector<std::string> names_;
  std::once_flag opened_;
  mutable std::mutex lock_;
  void* handle_ = nullptr;  // set once, under opened_
  std::string error_;       // guarded by lock_
};

}  // namespace quorvel
