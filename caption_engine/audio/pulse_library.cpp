#include "caption_engine/audio/pulse_library.h"

#include "caption_engine/base/lazy_library.h"

namespace quorvel {

namespace {

struct Loaded {
  PulseFunctions table;
  std::string error;
  bool ok = true;
};

// Made once and never destroyed: a capture thread that outlives its runtime may still use the
// table while the process exits.
const Loaded& loaded() {
  static const Loaded& once = *[] {
    // The client library's soname has been libpulse.so.0 since its first release.
    static LazyLibrary& library = *new LazyLibrary({"libpulse.so.0"});
    auto* made = new Loaded;
    Loaded& l = *made;
    auto bind = [&](auto*& function, const char* name) {
      if (l.ok && !library.bind(function, name)) {
        l.ok = false;
        l.error = library.error();
      }
    };
#define QUORVEL_PULSE_BIND(name) bind(l.table.name, #name);
    QUORVEL_PULSE_FUNCTIONS(QUORVEL_PULSE_BIND)
#undef QUORVEL_PULSE_BIND
    return made;
  }();
  return once;
}

}  // namespace

const PulseFunctions* loadPulse(std::string* error) {
  const Loaded& l = loaded();
  if (l.ok) return &l.table;
  if (error) *error = l.error;
  return nullptr;
}

}  // namespace quorvel
