#include "connection/message_queue.h"

#include <future>
#include <thread>

#include <gtest/gtest.h>

namespace zorim {
namespace {

using namespace std::chrono_literals;

OutgoingMessage record(int n) { return OutgoingMessage{"printer", n, 0, false, "text " + std::to_string(n)}; }

TEST(MessageQueue, HandsRecordsOutFirstInFirstOut) {
    MessageQueue queue(MessageQueue::kDefaultCapacity, 50ms);
    for (int n = 0; n < 5; ++n) ASSERT_TRUE(queue.push(record(n)));
    for (int n = 0; n < 5; ++n) {
        OutgoingMessage out;
        ASSERT_TRUE(queue.pop(out));
        EXPECT_EQ(out.request_id, n);
        EXPECT_EQ(out.text, "text " + std::to_string(n));
    }
}

TEST(MessageQueue, HoldsAThousandRecordsAndDropsTheNextAfterAWholeWait) {
    MessageQueue queue(MessageQueue::kDefaultCapacity, 100ms);
    for (int n = 0; n < 1000; ++n) ASSERT_TRUE(queue.push(record(n)));

    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(queue.push(record(1000)));
    EXPECT_GE(std::chrono::steady_clock::now() - before, 100ms);
    EXPECT_EQ(queue.size(), 1000u);

    OutgoingMessage out;
    ASSERT_TRUE(queue.pop(out));
    EXPECT_EQ(out.request_id, 0);  // the dropped record never entered
}

TEST(MessageQueue, AWaitingProducerGetsInWhenRoomIsMade) {
    MessageQueue queue(2, 5000ms);
    ASSERT_TRUE(queue.push(record(0)));
    ASSERT_TRUE(queue.push(record(1)));

    auto producer = std::async(std::launch::async, [&] { return queue.push(record(2)); });
    EXPECT_EQ(producer.wait_for(50ms), std::future_status::timeout);  // still waiting for room

    OutgoingMessage out;
    ASSERT_TRUE(queue.pop(out));
    EXPECT_TRUE(producer.get());
    for (int expected : {1, 2}) {
        ASSERT_TRUE(queue.pop(out));
        EXPECT_EQ(out.request_id, expected);
    }
}

TEST(MessageQueue, TryPushAndPushReplacingNeverWaitAndTheAgentsRequestsNeverPileUp) {
    MessageQueue queue(1, 10000ms);
    auto consumer = std::async(std::launch::async, [&] {
        OutgoingMessage out;
        return queue.pop(out) ? out.request_id : -1;
    });
    ASSERT_TRUE(queue.try_push(record(7)));
    ASSERT_EQ(consumer.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(consumer.get(), 7);

    ASSERT_TRUE(queue.try_push(record(8)));
    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(queue.try_push(record(9)));  // full: refused at once, not after the 10 s wait
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
    OutgoingMessage newer = record(10);
    newer.text = "newer";
    EXPECT_TRUE(queue.push_replacing(record(10)));  // the agent's own request: past the bound
    EXPECT_TRUE(queue.push_replacing(newer));       // replaces the one still waiting, in its place
    EXPECT_TRUE(queue.push_replacing(record(11)));
    EXPECT_EQ(queue.size(), 3u);
    OutgoingMessage out;
    for (const char* text : {"text 8", "newer"}) {
        ASSERT_TRUE(queue.pop(out));
        EXPECT_EQ(out.text, text);
    }
    EXPECT_TRUE(queue.push_replacing(record(10)));  // taken by now: a new one waits
    EXPECT_EQ(queue.size(), 2u);
    queue.close();
    EXPECT_FALSE(queue.try_push(record(12)));
    EXPECT_FALSE(queue.push_replacing(record(13)));
    EXPECT_EQ(queue.size(), 2u);
}

TEST(MessageQueue, PopGivesUpAfterAWholeWaitOnAnEmptyQueue) {
    MessageQueue queue(MessageQueue::kDefaultCapacity, 60ms);
    OutgoingMessage out;
    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(queue.pop(out));
    EXPECT_GE(std::chrono::steady_clock::now() - before, 60ms);
}

TEST(MessageQueue, ClosingWakesEveryWaiterAndFailsEveryLaterCall) {
    MessageQueue full(1, 10000ms);
    ASSERT_TRUE(full.push(record(0)));
    MessageQueue empty(MessageQueue::kDefaultCapacity, 10000ms);

    auto producer = std::async(std::launch::async, [&] { return full.push(record(1)); });
    auto consumer = std::async(std::launch::async, [&] {
        OutgoingMessage out;
        return empty.pop(out);
    });
    std::this_thread::sleep_for(30ms);
    full.close();
    empty.close();

    // Both waits end at once, long before their 10 s.
    ASSERT_EQ(producer.wait_for(2s), std::future_status::ready);
    ASSERT_EQ(consumer.wait_for(2s), std::future_status::ready);
    EXPECT_FALSE(producer.get());
    EXPECT_FALSE(consumer.get());

    OutgoingMessage out;
    EXPECT_FALSE(full.pop(out));  // the queued record stays, but is never handed out
    EXPECT_EQ(full.size(), 1u);
    EXPECT_FALSE(empty.push(record(2)));
    EXPECT_TRUE(full.closed());
}

TEST(MessageQueue, CapacityZeroMeansNoBound) {
    MessageQueue queue(0, 10ms);
    for (int n = 0; n < 2000; ++n) ASSERT_TRUE(queue.push(record(n)));
    EXPECT_EQ(queue.size(), 2000u);
}

}  // namespace
}  // namespace zorim
