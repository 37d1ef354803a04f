#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

// Sounds the pump heard while auto-add was on, waiting for the UI thread to record them, so that
// a verdict never waits for the list. Bounded by the distinct numbers waiting, not by the packets:
// a number is held once, plus at most as many replays again (compacted beyond that), so at most
// about 2 x 65,534 numbers whatever the flood.
//
// A number played again while it waits: when replays move to the back (the list's move-to-end
// option) it then counts from its last play, else from its first, so the rows end as if every
// play had been recorded at once. Take hands them over in that order.
//
// The pump's Offer and the UI thread's Take each hold a plain mutex for O(1) work (a push, a swap
// of two buffers); the rest of Take's work is done on a buffer the pump no longer writes.
class PlayedSoundQueue {
public:
    // `wake` is called on the offering thread (outside the lock) when a first sound waits since the
    // last Take: it must hand the UI thread a reason to Take, and return without waiting.
    explicit PlayedSoundQueue(std::function<void()> wake);

    // While closed (the start), Offer drops every sound. Closing drops nothing already waiting.
    void SetOpen(bool open);
    void SetReplayMovesToBack(bool moves);

    // Pump thread. False when dropped: closed, or 0x0000 / 0xFFFF.
    bool Offer(std::uint16_t number);

    // UI thread: everything waiting, in order, each number once. The next Offer wakes again.
    std::vector<std::uint16_t> Take();

    // Distinct numbers waiting, and numbers held to keep their order (never above 2 x waiting + 64).
    std::size_t Waiting() const;
    std::size_t Held() const;

private:
    struct Buffer {
        std::vector<std::uint16_t> order; // plays, first to last; a replay may add a number again
        std::bitset<0x10000> waiting;
        std::size_t distinct = 0;
    };

    static void KeepLastPlays(Buffer& buffer);

    std::function<void()> m_wake;
    mutable std::mutex m_lock;
    Buffer m_buffers[2];
    int m_active = 0; // the buffer Offer fills; the other is Take's alone
    bool m_open = false;
    bool m_replayMovesToBack = false;
    bool m_wakeAsked = false;
};
