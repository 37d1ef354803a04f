#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

// One queued packet, its own copy of the bytes; owned by the queue from the append until the
// injection thread has handed it over or discarded it.
struct OutboundPacket {
    static constexpr std::size_t kCapacity = 8192;

    OutboundPacket* older = nullptr;
    OutboundPacket* newer = nullptr;
    std::uint8_t direction = 0; // 0 to the client, 1 to the server, anything else: freed unsent
    std::uint8_t data[kCapacity] = {};
    std::uint32_t length = 0;
};

// Locked first-in, first-out queue of OutboundPackets (appended at the newest end, taken from
// the oldest end). No call into the hook library is made while the lock is held.
class InjectionQueue {
public:
    InjectionQueue() = default;
    ~InjectionQueue(); // frees whatever is still queued, unsent
    InjectionQueue(const InjectionQueue&) = delete;
    InjectionQueue& operator=(const InjectionQueue&) = delete;

    // Takes ownership. A null packet is ignored.
    void Append(std::unique_ptr<OutboundPacket> packet);
    // The oldest packet, or null when empty.
    std::unique_ptr<OutboundPacket> TakeOldest();
    // Waits for a packet (an append wakes it at once) or for Wake(); null after a Wake().
    std::unique_ptr<OutboundPacket> WaitAndTakeOldest();
    // Wakes a waiter (used by the stop).
    void Wake();
    // Frees every queued packet unsent; returns how many.
    std::size_t DiscardAll();
    bool Empty() const;

private:
    std::unique_ptr<OutboundPacket> UnlinkOldestLocked();

    mutable std::mutex m_lock;
    std::condition_variable m_appended;
    OutboundPacket* m_oldest = nullptr;
    OutboundPacket* m_newest = nullptr;
    bool m_woken = false;
};
