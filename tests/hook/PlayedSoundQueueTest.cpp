#include "PlayedSoundQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <set>
#include <thread>
#include <vector>

using Numbers = std::vector<std::uint16_t>;

// What Take hands over after the plays: each number once, ordered by its last play when replays
// move to the back, else by its first; nothing while closed, never 0x0000 or 0xFFFF.
TEST(PlayedSoundQueueTest, TakeGivesEachNumberOnceInPlayOrder) {
    struct Case {
        const char* name;
        bool open;
        bool replayMovesToBack;
        Numbers plays;
        Numbers taken;
    };
    const Case cases[] = {
        {"FirstPlayCounts", true, false, {3, 1, 3, 2, 1}, {3, 1, 2}},
        {"LastPlayCounts", true, true, {3, 1, 3, 2, 1}, {3, 2, 1}},
        {"SentinelsDropped", true, true, {0x0000, 5, 0xFFFF}, {5}},
        {"ClosedDropsAll", false, false, {1, 2}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int wakes = 0;
        PlayedSoundQueue queue([&wakes] { ++wakes; });
        queue.SetOpen(c.open);
        queue.SetReplayMovesToBack(c.replayMovesToBack);
        for (const std::uint16_t number : c.plays) {
            queue.Offer(number);
        }
        EXPECT_EQ(queue.Waiting(), c.taken.size());
        EXPECT_EQ(queue.Take(), c.taken);
        EXPECT_EQ(queue.Waiting(), 0u);
        EXPECT_EQ(wakes, c.taken.empty() ? 0 : 1); // one wake per Take, however many plays
        // Taken means gone; the next play wakes again.
        queue.Offer(7);
        EXPECT_EQ(wakes, c.taken.empty() ? 0 : 2);
        EXPECT_EQ(queue.Take(), c.open ? Numbers{7} : Numbers{});
    }
}

// A flood from another thread while nothing is taken: the room held stays bounded by the distinct
// numbers, and what is taken in the end holds every number played, once.
TEST(PlayedSoundQueueTest, AFloodIsHeldByItsDistinctNumbers) {
    PlayedSoundQueue queue(nullptr);
    queue.SetOpen(true);
    queue.SetReplayMovesToBack(true);
    std::atomic<std::size_t> mostHeld{0};
    std::thread pump([&] {
        std::mt19937 random(3);
        for (int i = 0; i < 200000; ++i) {
            queue.Offer(static_cast<std::uint16_t>(1 + random() % 500));
            if (i % 1000 == 0) {
                mostHeld = std::max(mostHeld.load(), queue.Held());
            }
        }
    });
    Numbers taken;
    for (int round = 0; round < 50; ++round) { // taken while the pump goes on, as the UI thread does
        const Numbers part = queue.Take();
        taken.insert(taken.end(), part.begin(), part.end());
    }
    pump.join();
    EXPECT_LE(mostHeld.load(), 2 * 500 + 64u);
    const Numbers rest = queue.Take();
    EXPECT_LE(rest.size(), 500u);
    EXPECT_EQ(std::set<std::uint16_t>(rest.begin(), rest.end()).size(), rest.size());
}
