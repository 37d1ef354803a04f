#include "InjectionQueue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

// A packet whose first two data bytes carry a tag, to follow it through the queue.
static std::unique_ptr<OutboundPacket> TaggedPacket(std::uint16_t tag) {
    auto packet = std::make_unique<OutboundPacket>();
    packet->data[0] = static_cast<std::uint8_t>(tag >> 8);
    packet->data[1] = static_cast<std::uint8_t>(tag);
    packet->length = 2;
    return packet;
}

static int Tag(const OutboundPacket& packet) {
    return packet.data[0] << 8 | packet.data[1];
}

TEST(InjectionQueueTest, TakesOldestFirstAndLeavesBothEndsEmptyAfterTheLast) {
    InjectionQueue queue;
    EXPECT_TRUE(queue.Empty());
    EXPECT_EQ(queue.TakeOldest(), nullptr);

    // Two rounds: after the first drains, a new append must be both oldest and newest, with no
    // link left to a packet already freed (the sanitizer build catches one).
    for (int round = 0; round < 2; ++round) {
        for (int tag = 1; tag <= 4; ++tag)
            queue.Append(TaggedPacket(static_cast<std::uint16_t>(round * 10 + tag)));
        EXPECT_FALSE(queue.Empty());
        for (int tag = 1; tag <= 4; ++tag) {
            auto packet = queue.TakeOldest();
            ASSERT_NE(packet, nullptr);
            EXPECT_EQ(Tag(*packet), round * 10 + tag);
            EXPECT_EQ(packet->older, nullptr);
            EXPECT_EQ(packet->newer, nullptr);
        }
        EXPECT_TRUE(queue.Empty());
        EXPECT_EQ(queue.TakeOldest(), nullptr);
    }

    queue.Append(TaggedPacket(99));
    auto only = queue.TakeOldest();
    ASSERT_NE(only, nullptr);
    EXPECT_EQ(Tag(*only), 99);
    EXPECT_TRUE(queue.Empty());
}

TEST(InjectionQueueTest, DiscardAllFreesEverythingAndDestructorFreesLeftovers) {
    InjectionQueue queue;
    queue.Append(nullptr); // ignored
    for (int tag = 0; tag < 5; ++tag)
        queue.Append(TaggedPacket(static_cast<std::uint16_t>(tag)));
    EXPECT_EQ(queue.DiscardAll(), 5u);
    EXPECT_TRUE(queue.Empty());
    EXPECT_EQ(queue.DiscardAll(), 0u);

    auto leftover = std::make_unique<InjectionQueue>();
    leftover->Append(TaggedPacket(1));
    leftover->Append(TaggedPacket(2));
    leftover.reset(); // the leak checker of the sanitizer build would report them otherwise
}

TEST(InjectionQueueTest, WaitIsEndedByAnAppendOrByWake) {
    using namespace std::chrono_literals;
    InjectionQueue queue;
    EXPECT_EQ(queue.TakeOldest(), nullptr);

    // The waits have no end of their own: only the append or the wake can end them.
    auto appended = std::async(std::launch::async, [&] { return queue.WaitAndTakeOldest(); });
    queue.Append(TaggedPacket(7));
    ASSERT_EQ(appended.wait_for(30s), std::future_status::ready);
    auto packet = appended.get();
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(Tag(*packet), 7);

    auto woken = std::async(std::launch::async, [&] { return queue.WaitAndTakeOldest(); });
    queue.Wake();
    const auto status = woken.wait_for(30s);
    if (status != std::future_status::ready)
        queue.Append(TaggedPacket(0)); // unstick the waiter so the test can end
    ASSERT_EQ(status, std::future_status::ready);
    EXPECT_EQ(woken.get(), nullptr);
}

TEST(InjectionQueueTest, ConcurrentProducersKeepTheirOwnOrder) {
    constexpr int kProducers = 3;
    constexpr int kEach = 2000;
    InjectionQueue queue;
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
        producers.emplace_back([&queue, p] {
            for (int i = 0; i < kEach; ++i)
                queue.Append(TaggedPacket(static_cast<std::uint16_t>(p << 12 | i)));
        });

    std::vector<int> lastSeen(kProducers, -1);
    int received = 0;
    while (received < kProducers * kEach) {
        auto packet = queue.WaitAndTakeOldest();
        if (!packet)
            continue;
        const int tag = Tag(*packet);
        const int producer = tag >> 12;
        const int index = tag & 0xFFF;
        ASSERT_LT(producer, kProducers);
        EXPECT_EQ(index, lastSeen[producer] + 1);
        lastSeen[producer] = index;
        ++received;
    }
    for (auto& producer : producers)
        producer.join();
    EXPECT_TRUE(queue.Empty());
}
