// The placeholder engine and the factory.
#include <gtest/gtest.h>

#include <vector>

#include "caption_engine/api/apple_caption_engine.h"
#include "caption_engine/api/placeholder_caption_engine.h"

namespace quorvel {
namespace {

const std::string kReason = "the speech engine is not in this build yet";

TEST(PlaceholderCaptionEngine, StartRaisesOneStateEventThenThrowsUnsupported) {
  PlaceholderCaptionEngine engine;
  std::vector<CaptionStateEvent> states;
  engine.setObservers(CaptionEngineObservers(
      nullptr, [&](const CaptionStateEvent& e) { states.push_back(e); }, nullptr, nullptr,
      nullptr));
  CaptionEngineStartArgs args;
  args.sessionId = "  blank-ish ";  // passed on exactly as given
  try {
    engine.start(args);
    FAIL() << "start did not throw";
  } catch (const CaptionEngineError& e) {
    EXPECT_EQ(e.code(), CaptionEngineErrorCode::unsupported);
    EXPECT_EQ(e.message(), kReason);
    EXPECT_FALSE(e.retriable());
    EXPECT_EQ(e.description(), "CAPTIONS_UNSUPPORTED: " + kReason);
  }
  ASSERT_EQ(states.size(), 1u);
  EXPECT_EQ(states[0],
            (CaptionStateEvent{"  blank-ish ", CaptionState::unsupported, kReason, std::nullopt}));
  EXPECT_EQ(engine.status().state, CaptionState::unsupported);
}

TEST(PlaceholderCaptionEngine, StartWithoutObserverOnlyThrows) {
  PlaceholderCaptionEngine engine;
  EXPECT_THROW(engine.start(CaptionEngineStartArgs{}), CaptionEngineError);
}

TEST(PlaceholderCaptionEngine, EveryOtherOperationAnswersAtOnce) {
  PlaceholderCaptionEngine engine;
  EXPECT_EQ(engine.kind(), CaptionEngineKind::apple);
  EXPECT_EQ(engine.capabilities(),
            (CaptionEngineCapabilities{CaptionEngineKind::apple, false, kReason, {}, {}}));
  EXPECT_EQ(engine.stop("s1"), CaptionEngineStopAck::nothing);
  EXPECT_NO_THROW(engine.setTerms("s1", {"a", "b"}));
  EXPECT_EQ(engine.status(), (CaptionEngineStatus{CaptionState::unsupported, std::nullopt,
                                                  std::nullopt, 0.0, std::nullopt, std::nullopt}));
  EXPECT_TRUE(engine.listInputs().empty());
  EXPECT_NO_THROW(engine.dispose());
  EXPECT_FALSE(engine.reserveLocale("en-US"));
  engine.setLevelReadingObserver([](const CaptionLevelReadingEvent&) { FAIL(); });
  try {
    engine.installLocale("en-US");
    FAIL() << "installLocale did not throw";
  } catch (const CaptionEngineError& e) {
    EXPECT_EQ(e.code(), CaptionEngineErrorCode::unsupported);
    EXPECT_EQ(e.message(), "this engine cannot install speech models");
    EXPECT_FALSE(e.retriable());
  }
}

TEST(CaptionEngines, MakeDefaultGivesDistinctEnginesWithTheirOwnCores) {
  auto a = CaptionEngines::makeDefault();
  auto b = CaptionEngines::makeDefault();
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a.get(), b.get());
  EXPECT_NE(dynamic_cast<AppleCaptionEngine*>(a.get()), nullptr);
  EXPECT_EQ(a->kind(), CaptionEngineKind::apple);

  // A start on one engine is heard by that engine's observers alone: each has its own core.
  std::vector<CaptionStateEvent> aStates, bStates;
  a->setObservers(CaptionEngineObservers(
      nullptr, [&](const CaptionStateEvent& e) { aStates.push_back(e); }, nullptr, nullptr,
      nullptr));
  b->setObservers(CaptionEngineObservers(
      nullptr, [&](const CaptionStateEvent& e) { bStates.push_back(e); }, nullptr, nullptr,
      nullptr));
  CaptionEngineStartArgs args;
  args.sessionId = "s1";
  args.locale = "en-US";
  args.source = CaptionAudioSource::file("/nonexistent/quorvel-missing.wav", false);
  EXPECT_THROW(a->start(args), CaptionEngineError);
  EXPECT_FALSE(aStates.empty());
  EXPECT_TRUE(bStates.empty());
  EXPECT_EQ(aStates.back().sessionId, "s1");
}

}  // namespace
}  // namespace quorvel
