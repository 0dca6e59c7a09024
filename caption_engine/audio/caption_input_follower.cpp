#include "caption_engine/audio/caption_input_follower.h"

#include <algorithm>

#include "caption_engine/logic/caption_audio_path_machine.h"

namespace quorvel {

CaptionInputFollower::CaptionInputFollower(Mode mode, Input initial)
    : mode_(mode), preferred_(initial), current_(std::move(initial)) {}

std::string CaptionInputFollower::goneLine(const std::string& label) {
  return "[captions] audio input " + label + " is gone; capture ended";
}

const CaptionInputFollower::Input* CaptionInputFollower::listedInput(
    const std::string& name) const {
  for (const Input& input : listing_.inputs) {
    if (input.name == name) return &input;
  }
  return nullptr;
}

std::optional<CaptionInputFollower::Input> CaptionInputFollower::pick(
    const std::vector<std::string>& passOver) const {
  auto available = [&](const std::string& name) -> const Input* {
    if (name.empty() || std::find(passOver.begin(), passOver.end(), name) != passOver.end()) {
      return nullptr;
    }
    return listedInput(name);
  };
  if (const Input* preferred = available(preferred_.name)) return *preferred;
  if (mode_ == Mode::device) return std::nullopt;
  if (const Input* named = available(listing_.defaultName)) return *named;
  for (const Input& input : listing_.inputs) {
    if (available(input.name)) return input;
  }
  return std::nullopt;
}

std::optional<CaptionInputFollower::Input> CaptionInputFollower::choose(
    const std::string& gone) const {
  // An input whose stream could not be opened is passed over while another one is there.
  if (std::optional<Input> next = pick({gone, failedOpen_})) return next;
  return pick({gone});
}

CaptionInputFollower::Actions CaptionInputFollower::openOn(const Input& input) {
  current_ = input;
  open_ = false;
  stalled_ = false;
  return {Open{input.name}};
}

void CaptionInputFollower::hold(Actions& actions) {
  if (held_) return;
  held_ = true;
  actions.push_back(Raise{CaptionAudioPathEvent::held(CaptionAudioReason::inputLost)});
}

CaptionInputFollower::Actions CaptionInputFollower::opened(int64_t nowMs) {
  if (!current_ || open_) return {};
  open_ = true;
  failures_ = 0;
  if (current_->name == failedOpen_) failedOpen_.clear();
  goneLogged_ = false;
  stalled_ = false;
  quietSinceMs_ = nowMs;

  Actions actions;
  const Input& input = *current_;
  const bool same = input.name == lastOpened_;
  if (input.name == preferred_.name) {
    if (onFallback_) {
      actions.push_back(Log{"[captions] capture moved back to audio input " + input.label});
      actions.push_back(Raise{CaptionAudioPathEvent::restored(input.label)});
      onFallback_ = false;
    } else if (held_) {
      actions.push_back(Log{"[captions] audio input " + input.label + " is back; capture resumed"});
    }
  } else if (onFallback_ && same) {
    // The fallback input came back after a hold: the host already knows it is on it.
    actions.push_back(Log{"[captions] audio input " + input.label + " is back; capture resumed"});
  } else {
    actions.push_back(Log{"[captions] capture moved to audio input " + input.label});
    actions.push_back(Raise{CaptionAudioPathEvent::fellBack(input.label)});
    onFallback_ = true;
  }
  if (held_) {
    held_ = false;
    actions.push_back(Raise{CaptionAudioPathEvent::resumed()});
  }
  lastOpened_ = input.name;
  return actions;
}

CaptionInputFollower::Actions CaptionInputFollower::lost(int64_t) {
  if (!current_) return {};
  const Input gone = *current_;
  const bool wasOpen = open_;
  current_.reset();
  open_ = false;
  stalled_ = false;

  Actions actions{Close{}};
  if (wasOpen) {
    if (!goneLogged_) actions.push_back(Log{goneLine(gone.label)});
    goneLogged_ = false;
    failures_ = 0;
    // The listing may be a moment old: decide now on what it says (without the lost input) and
    // fetch a fresh one, which corrects the choice if the server has meanwhile named another.
    actions.push_back(Refresh{0});
    if (std::optional<Input> next = choose(gone.name)) {
      for (Action& a : openOn(*next)) actions.push_back(std::move(a));
      return actions;
    }
  } else {
    ++failures_;
    failedOpen_ = gone.name;
    int64_t delay = kRetryFirstMs;
    for (int i = 1; i < failures_ && delay < kRetryMaxMs; ++i) delay *= 2;
    actions.push_back(Refresh{std::min(delay, kRetryMaxMs)});
  }
  hold(actions);
  return actions;
}

CaptionInputFollower::Actions CaptionInputFollower::serverLost(int64_t) {
  Actions actions;
  if (current_) {
    actions.push_back(Close{});
    if (open_ && !goneLogged_) actions.push_back(Log{goneLine(current_->label)});
    current_.reset();
  }
  open_ = false;
  stalled_ = false;
  goneLogged_ = false;
  failures_ = 0;
  failedOpen_.clear();
  listing_ = {};
  hold(actions);
  return actions;
}

CaptionInputFollower::Actions CaptionInputFollower::listed(const Listing& listing, int64_t nowMs) {
  listing_ = listing;
  checkedMs_ = std::max(checkedMs_, nowMs);
  // An input that could not be opened gets a new chance once it has gone and come back.
  if (!failedOpen_.empty() && !listedInput(failedOpen_)) failedOpen_.clear();

  if (!current_) {
    std::optional<Input> next = choose({});
    return next ? openOn(*next) : Actions{};
  }

  const Input* here = listedInput(current_->name);
  if (!here && open_) return lost(nowMs);
  if (!here) {
    // It went before its stream opened: choose again from this listing.
    current_.reset();
    Actions actions{Close{}};
    if (std::optional<Input> next = choose({})) {
      for (Action& a : openOn(*next)) actions.push_back(std::move(a));
    } else {
      hold(actions);
    }
    return actions;
  }
  current_->label = here->label;

  if (mode_ == Mode::systemDefault && current_->name != preferred_.name) {
    const Input* preferred = listedInput(preferred_.name);
    if (preferred && preferred_.name != failedOpen_) return openOn(*preferred);
    const std::string& named = listing_.defaultName;
    if (!named.empty() && named != current_->name && named != failedOpen_) {
      if (const Input* input = listedInput(named)) return openOn(*input);
    }
  }

  Actions actions;
  if (open_ && started_ && !held_ && !here->running && nowMs - quietSinceMs_ >= kStallMs) {
    stalled_ = true;
    goneLogged_ = true;
    actions.push_back(Log{goneLine(current_->label)});
    hold(actions);
  }
  return actions;
}

CaptionInputFollower::Actions CaptionInputFollower::buffer(int64_t nowMs) {
  quietSinceMs_ = nowMs;
  if (!stalled_) return {};
  stalled_ = false;
  goneLogged_ = false;
  Actions actions;
  if (current_) {
    actions.push_back(
        Log{"[captions] audio input " + current_->label + " is back; capture resumed"});
  }
  if (held_) {
    held_ = false;
    actions.push_back(Raise{CaptionAudioPathEvent::resumed()});
  }
  return actions;
}

void CaptionInputFollower::started(int64_t nowMs) {
  started_ = true;
  quietSinceMs_ = nowMs;
}

std::optional<int64_t> CaptionInputFollower::nextCheckMs() const {
  if (!started_ || !current_ || !open_ || held_) return std::nullopt;
  return std::max(quietSinceMs_, checkedMs_) + kStallMs;
}

CaptionInputFollower::Actions CaptionInputFollower::tick(int64_t nowMs) {
  const std::optional<int64_t> due = nextCheckMs();
  if (!due || nowMs < *due) return {};
  checkedMs_ = nowMs;
  return {Refresh{0}};
}

}  // namespace quorvel
