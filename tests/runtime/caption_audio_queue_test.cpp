// The bounded hand-off between a producer and the session thread: a file producer is held back
// when it is full, capture drops its oldest buffer, marks are never dropped, and closing or
// cancelling releases a producer that is held back.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "caption_engine/runtime/caption_audio_queue.h"

namespace quorvel {
namespace {

using namespace std::chrono_literals;

PcmBuffer buffer(uint32_t frames) {
  PcmBuffer b(AudioFormat{SampleType::int16, 16000.0, 1, true}, frames);
  b.setFrameLength(frames);
  return b;
}

uint32_t framesOf(const std::optional<CaptionAudioQueue::Item>& item) {
  return item ? std::get<PcmBuffer>(*item).frameLength() : 0;
}

TEST(CaptionAudioQueue, AFullQueueHoldsTheProducerBackUntilThereIsRoom) {
  CaptionAudioQueue queue(2, CaptionAudioQueue::WhenFull::wait);
  ASSERT_TRUE(queue.push(buffer(1)));
  ASSERT_TRUE(queue.push(buffer(2)));
  auto third = std::async(std::launch::async, [&] { return queue.push(buffer(3)); });
  EXPECT_EQ(third.wait_for(200ms), std::future_status::timeout) << "held back while full";
  EXPECT_EQ(framesOf(queue.pop()), 1u);
  EXPECT_TRUE(third.get());
  EXPECT_EQ(framesOf(queue.pop()), 2u);
  EXPECT_EQ(framesOf(queue.pop()), 3u);
  EXPECT_EQ(queue.dropped(), 0);
}

TEST(CaptionAudioQueue, ClosingReleasesAHeldProducerAndDrainsWhatIsQueued) {
  CaptionAudioQueue queue(1, CaptionAudioQueue::WhenFull::wait);
  ASSERT_TRUE(queue.push(buffer(1)));
  auto held = std::async(std::launch::async, [&] { return queue.push(buffer(2)); });
  ASSERT_EQ(held.wait_for(100ms), std::future_status::timeout);
  queue.close();
  EXPECT_FALSE(held.get()) << "refused once closed";
  EXPECT_EQ(framesOf(queue.pop()), 1u) << "what was queued is still handed out";
  EXPECT_FALSE(queue.pop().has_value());
}

TEST(CaptionAudioQueue, CaptureDropsItsOldestBufferButNeverAMark) {
  CaptionAudioQueue queue(2, CaptionAudioQueue::WhenFull::dropOldest);
  queue.push(buffer(1));
  queue.pushBreak();
  queue.pushBreak();  // two breaks in a row are one
  queue.push(buffer(2));
  queue.push(buffer(3));  // full: buffer 1 goes
  EXPECT_EQ(queue.dropped(), 1);
  auto first = queue.pop();
  ASSERT_TRUE(first && std::holds_alternative<CaptionAudioQueue::BreakMark>(*first));
  EXPECT_EQ(framesOf(queue.pop()), 2u);
  EXPECT_EQ(framesOf(queue.pop()), 3u);
}

TEST(CaptionAudioQueue, CancelEndsTheConsumerAtOnce) {
  CaptionAudioQueue queue(4, CaptionAudioQueue::WhenFull::wait);
  queue.push(buffer(1));
  auto consumer = std::async(std::launch::async, [&] {
    int items = 0;
    while (queue.pop()) ++items;
    return items;
  });
  // The consumer takes the buffer, then waits for more until the queue is cancelled.
  EXPECT_EQ(consumer.wait_for(100ms), std::future_status::timeout);
  queue.push(buffer(2));
  queue.cancel();
  EXPECT_LE(consumer.get(), 2);
  EXPECT_FALSE(queue.push(buffer(3)));
}

}  // namespace
}  // namespace quorvel
