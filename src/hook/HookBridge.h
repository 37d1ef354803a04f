#pragma once

#include "ByteOrder.h"
#include "HookLibrary.h"
#include "InjectionQueue.h"
#include "PacketBuilder.h"
#include "PacketHandler.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>

// The game hook bridge: the event in hand and its verdict, the stop flag, the injection queue and
// the packet builder, and the two worker threads. HookPumpThread takes one event at a time from
// the library, hands a packet (codes 1424/1425) to the handler its first byte selects, and
// replies the verdict; InjectionThread drains the queue into the library.
//
// Built and started by the program before any window exists, so packets flow (and pass) from the
// first moment; stopped (threads joined) before the objects it uses are destroyed.
class HookBridge {
public:
    HookBridge(HookLibrary& library, const PacketHandlerTable& handlers);
    ~HookBridge(); // Stop()
    HookBridge(const HookBridge&) = delete;
    HookBridge& operator=(const HookBridge&) = delete;

    // Zeroes the state, then starts HookPumpThread and InjectionThread.
    void Start();
    // Sets stopRequested, lets the pump finish the cycle in hand (the verdict for an event already
    // fetched is still given), joins both threads, then frees queued packets unsent. Idempotent.
    void Stop();

    // The event in hand: belongs to the pump thread; handlers touch it only there.
    std::int32_t eventCode = 0;
    std::uint32_t eventValue = 0; // stored, never used
    PacketBytes currentPacket;    // the library's bytes, with their length; valid until the verdict
    std::uint32_t verdict = 0;    // 0 pass, 1 block
    std::atomic<std::uint8_t> stopRequested{0};

    // Copies `length` bytes (at most 8192; a longer packet is dropped) into a new OutboundPacket
    // with direction 0 and appends it.
    void QueuePacket(const std::uint8_t* data, std::size_t length);
    // Builds the 0xAE system message for a narrow text in `codePage` and queues it. A text longer
    // than kMaxSystemMessageText bytes does not fit one packet and is dropped.
    void QueueSystemMessage(std::string_view text, const std::string& codePage);
    void QueueSystemMessage(std::string_view text);

    InjectionQueue& Queue() { return m_queue; }
    PacketBuilder& Builder() { return m_builder; } // UI thread only
    HookLibrary& Library() { return m_library; }

private:
    void HookPumpThread();
    void InjectionThread();

    HookLibrary& m_library;
    const PacketHandlerTable& m_handlers;
    InjectionQueue m_queue;
    PacketBuilder m_builder;
    std::thread m_pump;
    std::thread m_injection;
};
