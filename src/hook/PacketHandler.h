#pragma once

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

private:
    std::array<std::atomic<PacketHandler*>, 256> m_slots;
};
