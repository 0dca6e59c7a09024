#include "caption_engine/base/lazy_library.h"

#include <dlfcn.h>

namespace quorvel {

LazyLibrary::LazyLibrary(std::vector<std::string> names) : names_(std::move(names)) {}

bool LazyLibrary::open() {
  std::call_once(opened_, [this] {
    std::string why;
    for (const std::string& name : names_) {
      // Symbols stay local to the library: nothing else in the process binds to them by accident.
      if ((handle_ = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL))) return;
      if (const char* e = dlerror()) why = e;
    }
    std::lock_guard lock(lock_);
    error_ = why.empty() ? std::string("no library name to open") : why;
  });
  return handle_ != nullptr;
}

std::string LazyLibrary::error() const {
  std::lock_guard lock(lock_);
  return error_;
}

void* LazyLibrary::symbol(const char* name) {
  if (!open()) return nullptr;
  void* found = dlsym(handle_, name);
  if (!found) {
    std::lock_guard lock(lock_);
    if (error_.empty()) error_ = std::string(names_.front()) + " has no function " + name;
  }
  return found;
}

}  // namespace quorvel
