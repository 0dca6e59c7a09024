// Audio path happenings a producer may report: a hold (with its reason word), a fallback to
// another input, the preferred input restored, audio resumed after a hold.
#pragma once

#include <string>
#include <variant>

namespace quorvel {

class CaptionAudioPathEvent {
 public:
  struct Held {
    std::string reason;
    bool operator==(const Held&) const = default;
  };
  struct FellBack {
    std::string input;
    bool operator==(const FellBack&) const = default;
  };
  struct Restored {
    std::string input;
    bool operator==(const Restored&) const = default;
  };
  struct Resumed {
    bool operator==(const Resumed&) const = default;
  };
  using Value = std::variant<Held, FellBack, Restored, Resumed>;

  static CaptionAudioPathEvent held(std::string reason) { return {Held{std::move(reason)}}; }
  static CaptionAudioPathEvent fellBack(std::string input) { return {FellBack{std::move(input)}}; }
  static CaptionAudioPathEvent restored(std::string input) { return {Restored{std::move(input)}}; }
  static CaptionAudioPathEvent resumed() { return {Resumed{}}; }

  const Value& value() const { return value_; }
  bool operator==(const CaptionAudioPathEvent&) const = default;

 private:
  CaptionAudioPathEvent(Value v) : value_(std::move(v)) {}
  Value value_;
};

}  // namespace quorvel
