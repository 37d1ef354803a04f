#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

// How long the game's main thread may still wait for Kestrune: at most kPerFrame within one frame
// (from one Tick to the next) and kPerSecond within any second. Waits are charged to the 10 ms
// slots they cover and the last second is summed over whole slots, so what is left is never
// overstated. A frame older than a second counts as over: a host that never calls Tick still gets
// its budget back. The main thread's alone: no lock, no system call.
class WaitBudget {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::chrono::milliseconds kPerFrame{50};
    static constexpr std::chrono::milliseconds kPerSecond{100};
    static constexpr std::chrono::milliseconds kWindow{1000};
    static constexpr std::chrono::milliseconds kSlot{10};

    void NewFrame(Clock::time_point now);
    // What may still be waited from `now` on; zero when either budget is spent.
    Clock::duration Left(Clock::time_point now) const;
    // Charges a wait from `start` to `end`.
    void Spend(Clock::time_point start, Clock::time_point end);

private:
    struct Slot {
        std::int64_t index = -1;
        Clock::duration spent{};
    };
    static constexpr std::size_t kSlots = kWindow / kSlot + 2;

    static std::int64_t SlotIndex(Clock::time_point at) { return at.time_since_epoch() / kSlot; }
    Clock::duration FrameSpent(Clock::time_point now) const;

    std::array<Slot, kSlots> m_slots{};
    Clock::time_point m_frameStart{};
    Clock::duration m_frameSpent{};
};
