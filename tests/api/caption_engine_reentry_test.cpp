// A host callback may call back into the engine: a stop from inside any observer completes as
// promptly as any other stop, with the finals drained at the stop counted. (A stop from inside a
// callback used to hang: teardown waited for, or joined, the very thread that was running the
// callback; from onSegment it stalled for the whole results drain limit and answered 0 finals.)
#include <gtest/gtest.h>

#include "tests/api/caption_engine_reentry_cases.h"

namespace quorvel::testing {
namespace {

using namespace reentry;

TEST(CaptionEngineReentry, AStopFromInsideAnyCallbackCompletesWithItsFigures) {
#ifndef QUORVEL_TEST_HAS_RECOGNIZER
  // A build without a recognizer never makes a runtime, not even on a given speech service: its
  // engine answers every start as unsupported, so no callback of a session ever runs.
  GTEST_SKIP() << "built without a recognizer";
#endif
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    Session session(c);
    if (auto error = session.startAndProvoke()) {
      // Only the stop from the starting event may end the start.
      EXPECT_EQ(std::string(c.name), "onState starting") << *error;
    }
    ASSERT_TRUE(session.reentry.awaitStopped(10s))
        << "the stop from inside the callback never returned";
    if (c.finals >= 0) {
      EXPECT_EQ(session.reentry.ack->finals, c.finals);
    }
    EXPECT_EQ(session.reentry.status->state, CaptionState::stopped);
    // The engine is free again.
    EXPECT_NO_THROW(session.engine.start(startArgs()));
    EXPECT_EQ(session.engine.stop(std::nullopt).finals, 1);
  }
}

}  // namespace
}  // namespace quorvel::testing
