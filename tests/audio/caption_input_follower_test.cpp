// The rules by which a capture producer follows, falls back from and returns to its inputs, as
// a value type: each step's answer is written out as a short text so that a case reads as the
// sequence a producer would carry out.
#include "caption_engine/audio/caption_input_follower.h"

#include <gtest/gtest.h>

namespace quorvel {
namespace {

using F = CaptionInputFollower;
using Mode = CaptionInputFollower::Mode;

std::string describe(const F::Actions& actions) {
  std::string out;
  for (const F::Action& action : actions) {
    if (!out.empty()) out += "; ";
    if (std::holds_alternative<F::Close>(action)) {
      out += "close";
    } else if (const auto* open = std::get_if<F::Open>(&action)) {
      out += "open " + open->name;
    } else if (const auto* refresh = std::get_if<F::Refresh>(&action)) {
      out += "refresh " + std::to_string(refresh->delayMs);
    } else if (const auto* log = std::get_if<F::Log>(&action)) {
      out += "log '" + log->line + "'";
    } else if (const auto* raise = std::get_if<F::Raise>(&action)) {
      std::visit(
          [&](const auto& e) {
            using E = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<E, CaptionAudioPathEvent::Held>) out += "held " + e.reason;
            if constexpr (std::is_same_v<E, CaptionAudioPathEvent::FellBack>)
              out += "fellBack " + e.input;
            if constexpr (std::is_same_v<E, CaptionAudioPathEvent::Restored>)
              out += "restored " + e.input;
            if constexpr (std::is_same_v<E, CaptionAudioPathEvent::Resumed>) out += "resumed";
          },
          raise->event.value());
    }
  }
  return out;
}

// Inputs are named in lower case and labelled in upper case; all run unless said otherwise.
F::Input input(const std::string& name, bool running = true) {
  std::string label = name;
  for (char& c : label) c = static_cast<char>(std::toupper(c));
  return {name, label, running};
}
F::Listing listing(const std::string& defaultName, const std::vector<std::string>& names) {
  F::Listing l{defaultName, {}};
  for (const auto& n : names) l.inputs.push_back(input(n));
  return l;
}

const std::string kGoneMic = "log '[captions] audio input MIC is gone; capture ended'";

// A follower whose first stream (on "mic") has opened and whose capture has begun.
F capturing(Mode mode, const F::Listing& first) {
  F f(mode, input("mic"));
  EXPECT_EQ(describe(f.opened(0)), "");  // the first stream opening is no news
  f.started(0);
  EXPECT_EQ(describe(f.listed(first, 0)), "");
  return f;
}

TEST(CaptionInputFollowerTest, ADeviceHoldsWhenLostAndResumesWhenListedAgain) {
  // The stream failing and a listing without the input are the same loss, reported once.
  for (bool byListing : {false, true}) {
    SCOPED_TRACE(byListing ? "noticed by a listing" : "noticed by the stream");
    F f = capturing(Mode::device, listing("mic", {"mic", "other"}));
    const F::Actions loss = byListing ? f.listed(listing("other", {"other"}), 100) : f.lost(100);
    EXPECT_EQ(describe(loss), "close; " + kGoneMic + "; refresh 0; held input_lost");
    EXPECT_TRUE(f.held());
    EXPECT_EQ(describe(f.lost(110)), "");  // the stream failing afterwards changes nothing
    // Another input is there (and named default), but a device producer only takes its own.
    EXPECT_EQ(describe(f.listed(listing("other", {"other"}), 120)), "");
    EXPECT_EQ(describe(f.listed(listing("other", {"other", "mic"}), 900)), "open mic");
    EXPECT_TRUE(f.held());  // until the stream has opened
    EXPECT_EQ(describe(f.opened(910)),
              "log '[captions] audio input MIC is back; capture resumed'; resumed");
    EXPECT_FALSE(f.held());
  }
}

TEST(CaptionInputFollowerTest, TheDefaultInputFallsBackWithoutAHoldAndIsRestored) {
  F f = capturing(Mode::systemDefault, listing("mic", {"mic", "usb", "speakers.monitor"}));
  // The listing was taken while the microphone was default: the first other input is taken at
  // once, and the fresh listing fetched meanwhile moves to what the server now names.
  EXPECT_EQ(describe(f.lost(100)), "close; " + kGoneMic + "; refresh 0; open usb");
  EXPECT_FALSE(f.held());
  EXPECT_EQ(describe(f.listed(listing("speakers.monitor", {"usb", "speakers.monitor"}), 105)),
            "open speakers.monitor");
  EXPECT_EQ(
      describe(f.opened(110)),
      "log '[captions] capture moved to audio input SPEAKERS.MONITOR'; fellBack SPEAKERS.MONITOR");
  // While on a fallback it follows the server's default.
  EXPECT_EQ(describe(f.listed(listing("usb", {"usb", "speakers.monitor"}), 200)), "open usb");
  EXPECT_EQ(describe(f.opened(210)),
            "log '[captions] capture moved to audio input USB'; fellBack USB");
  // The preferred input comes back, whatever the server names: capture returns to it.
  EXPECT_EQ(describe(f.listed(listing("usb", {"usb", "mic", "speakers.monitor"}), 300)),
            "open mic");
  EXPECT_EQ(describe(f.opened(310)),
            "log '[captions] capture moved back to audio input MIC'; restored MIC");
  // On the preferred input a change of default is not followed.
  EXPECT_EQ(describe(f.listed(listing("usb", {"usb", "mic"}), 400)), "");
  EXPECT_FALSE(f.held());
}

TEST(CaptionInputFollowerTest, TheDefaultInputWithoutAServerDefaultTakesTheFirstListed) {
  F f = capturing(Mode::systemDefault, listing("mic", {"mic", "usb", "line"}));
  EXPECT_EQ(describe(f.lost(100)), "close; " + kGoneMic + "; refresh 0; open usb");
  EXPECT_EQ(describe(f.listed(listing("", {"usb", "line"}), 105)), "");  // names none: stays
  EXPECT_EQ(describe(f.opened(110)),
            "log '[captions] capture moved to audio input USB'; fellBack USB");
}

// With nothing to fall back to the default input holds, and resumes on whichever comes first.
TEST(CaptionInputFollowerTest, TheDefaultInputHoldsWithNothingToFallBackTo) {
  struct Case {
    const char* name;
    F::Listing back;
    std::string open;
    std::string opened;
  };
  const std::vector<Case> cases{
      {"the preferred input first", listing("mic", {"mic"}), "open mic",
       "log '[captions] audio input MIC is back; capture resumed'; resumed"},
      {"a new default first", listing("usb", {"usb"}), "open usb",
       "log '[captions] capture moved to audio input USB'; fellBack USB; resumed"},
      {"an input the server does not name", listing("", {"usb"}), "open usb",
       "log '[captions] capture moved to audio input USB'; fellBack USB; resumed"},
      {"the one the server names before the first listed", listing("line", {"usb", "line"}),
       "open line", "log '[captions] capture moved to audio input LINE'; fellBack LINE; resumed"},
      {"both at once", listing("usb", {"usb", "mic"}), "open mic",
       "log '[captions] audio input MIC is back; capture resumed'; resumed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    F f = capturing(Mode::systemDefault, listing("mic", {"mic"}));
    EXPECT_EQ(describe(f.lost(100)), "close; " + kGoneMic + "; refresh 0; held input_lost");
    EXPECT_EQ(describe(f.listed(listing("", {}), 105)), "");
    EXPECT_EQ(describe(f.listed(c.back, 500)), c.open);
    EXPECT_EQ(describe(f.opened(510)), c.opened);
    EXPECT_FALSE(f.held());
  }
}

TEST(CaptionInputFollowerTest, AFallbackThatGoesToo) {
  F f = capturing(Mode::systemDefault, listing("mic", {"mic", "usb"}));
  f.lost(100);
  f.listed(listing("usb", {"usb"}), 105);
  EXPECT_EQ(describe(f.opened(110)),
            "log '[captions] capture moved to audio input USB'; fellBack USB");
  // Nothing left: hold.
  EXPECT_EQ(
      describe(f.lost(200)),
      "close; log '[captions] audio input USB is gone; capture ended'; refresh 0; held input_lost");
  {
    F g = f;  // the fallback comes back: the host already knows capture is on it
    EXPECT_EQ(describe(g.listed(listing("usb", {"usb"}), 300)), "open usb");
    EXPECT_EQ(describe(g.opened(310)),
              "log '[captions] audio input USB is back; capture resumed'; resumed");
  }
  {
    F g = f;  // the preferred input comes back: restored, then resumed
    EXPECT_EQ(describe(g.listed(listing("mic", {"mic"}), 300)), "open mic");
    EXPECT_EQ(describe(g.opened(310)),
              "log '[captions] capture moved back to audio input MIC'; restored MIC; resumed");
  }
}

TEST(CaptionInputFollowerTest, TheServerGoingAwayHoldsAndItsReturnResumesByTheSameRules) {
  for (Mode mode : {Mode::device, Mode::systemDefault}) {
    F f = capturing(mode, listing("mic", {"mic", "usb"}));
    EXPECT_EQ(describe(f.serverLost(100)), "close; " + kGoneMic + "; held input_lost");
    EXPECT_EQ(describe(f.serverLost(150)), "");  // a failed reconnection is no news
    EXPECT_EQ(describe(f.listed(listing("mic", {"mic", "usb"}), 900)), "open mic");
    EXPECT_EQ(describe(f.opened(910)),
              "log '[captions] audio input MIC is back; capture resumed'; resumed");
  }
  // Back without the preferred input: the default input falls back, a device waits.
  F device = capturing(Mode::device, listing("mic", {"mic"}));
  device.serverLost(100);
  EXPECT_EQ(describe(device.listed(listing("usb", {"usb"}), 900)), "");
  F byDefault = capturing(Mode::systemDefault, listing("mic", {"mic"}));
  byDefault.serverLost(100);
  EXPECT_EQ(describe(byDefault.listed(listing("usb", {"usb"}), 900)), "open usb");
  EXPECT_EQ(describe(byDefault.opened(910)),
            "log '[captions] capture moved to audio input USB'; fellBack USB; resumed");
}

// A quiet stream on an input that is not running: held after kStallMs, its stream kept open,
// resumed by the next buffer.
TEST(CaptionInputFollowerTest, AQuietStreamOnAnInputNotRunningHoldsUntilBuffersFlow) {
  const auto quiet = [](bool running) {
    return F::Listing{"mic", {input("mic", running), input("usb")}};
  };
  F f = capturing(Mode::systemDefault, listing("mic", {"mic", "usb"}));
  EXPECT_EQ(describe(f.buffer(1000)), "");
  EXPECT_EQ(describe(f.listed(quiet(false), 1999)), "");  // not yet a second
  EXPECT_EQ(describe(f.listed(quiet(true), 2500)), "");   // running: just quiet
  EXPECT_EQ(describe(f.listed(quiet(false), 2000 + 500)), kGoneMic + "; held input_lost");
  EXPECT_TRUE(f.held());
  EXPECT_TRUE(f.isOpen());  // no fallback: the source is there and may recover
  EXPECT_EQ(describe(f.listed(quiet(false), 4000)), "");
  EXPECT_EQ(describe(f.buffer(5000)),
            "log '[captions] audio input MIC is back; capture resumed'; resumed");
  EXPECT_EQ(describe(f.buffer(5020)), "");
  // If a quiet input then goes away, its loss is not logged twice.
  EXPECT_EQ(describe(f.listed(quiet(false), 6100)), kGoneMic + "; held input_lost");
  EXPECT_EQ(describe(f.listed(listing("usb", {"usb"}), 6200)), "close; refresh 0; open usb");
  EXPECT_EQ(describe(f.opened(6210)),
            "log '[captions] capture moved to audio input USB'; fellBack USB; resumed");
}

TEST(CaptionInputFollowerTest, QuietIsJudgedOnlyOnceCaptureHasBegunAndAtMostOnceASecond) {
  F f(Mode::device, input("mic"));
  f.opened(0);
  EXPECT_EQ(f.nextCheckMs(), std::nullopt);  // corked before start: nothing should flow
  EXPECT_EQ(describe(f.listed(F::Listing{"mic", {input("mic", false)}}, 5000)), "");
  f.started(6000);
  EXPECT_EQ(f.nextCheckMs(), 7000);
  EXPECT_EQ(describe(f.tick(6999)), "");
  EXPECT_EQ(describe(f.tick(7000)), "refresh 0");
  EXPECT_EQ(f.nextCheckMs(), 8000);  // asked at 7000: not again for a second
  EXPECT_EQ(describe(f.tick(7500)), "");
  f.buffer(7600);
  EXPECT_EQ(f.nextCheckMs(), 8600);
  EXPECT_EQ(describe(f.listed(F::Listing{"mic", {input("mic", false)}}, 8600)),
            kGoneMic + "; held input_lost");
  EXPECT_EQ(f.nextCheckMs(), std::nullopt);  // held: nothing more to judge
}

// A stream that cannot be opened counts as lost; the next listing waits longer each time, and
// the failing input is passed over while another is there.
TEST(CaptionInputFollowerTest, StreamsThatCannotBeOpenedAreRetriedWithBackOff) {
  F device = capturing(Mode::device, listing("mic", {"mic"}));
  device.lost(0);
  std::vector<int64_t> delays;
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(describe(device.listed(listing("mic", {"mic"}), 100 * i)), "open mic");
    const F::Actions failed = device.lost(100 * i + 1);
    ASSERT_EQ(failed.size(), 2u) << describe(failed);  // no log, no second hold
    delays.push_back(std::get<F::Refresh>(failed[1]).delayMs);
  }
  EXPECT_EQ(delays, (std::vector<int64_t>{100, 200, 400, 800, 1600, 2000, 2000}));

  F byDefault = capturing(Mode::systemDefault, listing("mic", {"mic", "usb"}));
  byDefault.lost(0);
  byDefault.opened(10);  // on usb
  EXPECT_EQ(describe(byDefault.listed(listing("usb", {"usb", "mic"}), 100)), "open mic");
  EXPECT_EQ(describe(byDefault.lost(101)), "close; refresh 100; held input_lost");
  EXPECT_EQ(describe(byDefault.listed(listing("usb", {"usb", "mic"}), 200)), "open usb");
  EXPECT_EQ(describe(byDefault.opened(210)),
            "log '[captions] audio input USB is back; capture resumed'; resumed");
  EXPECT_EQ(describe(byDefault.listed(listing("usb", {"usb", "mic"}), 300)), "");
  // Once the failing input has gone and come back it gets a new chance.
  EXPECT_EQ(describe(byDefault.listed(listing("usb", {"usb"}), 400)), "");
  EXPECT_EQ(describe(byDefault.listed(listing("usb", {"usb", "mic"}), 500)), "open mic");
}

// An input chosen from a listing that is gone by the next one is chosen again, without a hold.
TEST(CaptionInputFollowerTest, AChoiceOverruledBeforeItsStreamOpens) {
  F f = capturing(Mode::systemDefault, listing("mic", {"mic", "usb", "line"}));
  EXPECT_EQ(describe(f.lost(100)), "close; " + kGoneMic + "; refresh 0; open usb");
  EXPECT_EQ(describe(f.listed(listing("", {"line"}), 105)), "close; open line");
  EXPECT_FALSE(f.held());
  EXPECT_EQ(describe(f.listed(listing("", {}), 106)), "close; held input_lost");
}

}  // namespace
}  // namespace quorvel
