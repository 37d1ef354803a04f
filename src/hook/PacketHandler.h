#pragma once

#include "HookProtocol.h"

#include <array>
#include <atomic>
#include <cstdint>

class HookBridge;

// Runs on the pump thread while the library holds the packet: it reads the packet through the
// bridge (CurrentPacket) and blocks it with bridge.verdict = 1. Traffic waits until it returns.
class PacketHandler {
public:
    virtual void HandlePacket(HookBridge& bridge) = 0;

protected:
    ~PacketHandler() = default;
};

// Does nothing: the packet passes.
class NoOpHandler final : public PacketHandler {
public:
    void HandlePacket(HookBridge&) override {}
    static NoOpHandler& Instance();
};

// Told whenever the set of packet ids that hold an observer changes: the game's side of the
// connection needs to ask only about those (the others meet the NoOpHandler and pass).
class WatchListener {
public:
    virtual void WatchedPacketsChanged(const WatchSet& watched) = 0;

protected:
    ~WatchListener() = default;
};

// 256 slots indexed by packet id. Every slot starts as the NoOpHandler. A slot is one pointer,
// written whole by the UI thread and read by the pump without a lock; a packet dispatched just
// before an Install meets the old handler.
class PacketHandlerTable {
public:
    PacketHandlerTable();
    void Install(std::uint8_t packetId, PacketHandler& handler);
    // Puts the NoOpHandler back (used when the dialog ends, so nothing reaches it afterwards).
    void Uninstall(std::uint8_t packetId);
    PacketHandler& HandlerFor(std::uint8_t packetId) const;
    // The ids whose slot holds something other than the NoOpHandler.
    WatchSet Watched() const;
    // Install and Uninstall tell `listener` (null: nobody) of every change of Watched(). Set it
    // before the first Install; the listener must outlive the table's use.
    void SetWatchListener(WatchListener* listener) { m_listener = listener; }

private:
    void Store(std::uint8_t packetId, PacketHandler* handler);

    std::array<std::atomic<PacketHandler*>, 256> m_slots;
    WatchListener* m_listener = nullptr;
};
