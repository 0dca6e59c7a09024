// Which audio path events change the reported state, and with which reason word.
#include "caption_engine/logic/caption_audio_path_machine.h"

#include <gtest/gtest.h>

#include <vector>

namespace quorvel {
namespace {

using E = CaptionAudioPathEvent;
using Emit = CaptionAudioPathMachine::Emit;

TEST(CaptionAudioPathMachineTest, EventsOutsideRunningOrNoAudioAreIgnored) {
  const std::vector<E> events{E::held("interrupted"), E::fellBack("usb"), E::restored("mic"),
                              E::resumed()};
  for (CaptionState state : allCaptionStates) {
    if (state == CaptionState::running || state == CaptionState::noAudio) continue;
    for (bool held : {false, true}) {
      CaptionAudioPathMachine m;
      if (held) {
        m.hold = "input_lost";
        m.fellBack = true;
      }
      const CaptionAudioPathMachine before = m;
      for (const E& e : events) EXPECT_EQ(m.apply(e, state), std::nullopt) << rawValue(state);
      EXPECT_EQ(m, before);
    }
  }
}

TEST(CaptionAudioPathMachineTest, SequenceOfEvents) {
  struct Step {
    E event;
    CaptionState current;
    std::optional<Emit> want;
    bool silencesWatchdog;
  };
  const CaptionState R = CaptionState::running, N = CaptionState::noAudio;
  const std::vector<Step> steps{
      {E::resumed(), R, std::nullopt, false},
      {E::held("interrupted"), R, Emit{N, "interrupted"}, true},
      {E::held("interrupted"), N, std::nullopt, true},
      {E::held("cover_closed"), N, Emit{N, "cover_closed"}, true},
      {E::fellBack("usb"), N, Emit{N, "input_fallback"}, true},
      {E::fellBack("other"), N, std::nullopt, true},
      {E::resumed(), N, Emit{R, "audio_resumed"}, false},
      {E::resumed(), R, std::nullopt, false},
      {E::restored("mic"), R, Emit{R, "input_restored"}, false},
      {E::restored("mic"), R, std::nullopt, false},
      {E::fellBack("usb"), R, Emit{R, "input_fallback"}, false},
      {E::held("anything"), R, Emit{N, "anything"}, true},  // any reason word is reported as is
  };
  CaptionAudioPathMachine m;
  EXPECT_FALSE(m.silencesWatchdog());
  for (size_t i = 0; i < steps.size(); ++i) {
    EXPECT_EQ(m.apply(steps[i].event, steps[i].current), steps[i].want) << "step " << i;
    EXPECT_EQ(m.silencesWatchdog(), steps[i].silencesWatchdog) << "step " << i;
  }
}

TEST(CaptionAudioPathMachineTest, ReasonVocabulary) {
  EXPECT_STREQ(CaptionAudioReason::inputFallback, "input_fallback");
  EXPECT_STREQ(CaptionAudioReason::inputRestored, "input_restored");
  EXPECT_STREQ(CaptionAudioReason::audioResumed, "audio_resumed");
  const std::vector<std::string> holds(CaptionAudioReason::holds.begin(),
                                       CaptionAudioReason::holds.end());
  EXPECT_EQ(holds,
            (std::vector<std::string>{"cover_closed", "interrupted", "input_lost", "media_reset"}));
}

}  // namespace
}  // namespace quorvel
