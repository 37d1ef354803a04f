#include "PacketHandler.h"

NoOpHandler& NoOpHandler::Instance() {
    static NoOpHandler instance;
    return instance;
}

PacketHandlerTable::PacketHandlerTable() {
    for (auto& slot : m_slots)
        slot.store(&NoOpHandler::Instance(), std::memory_order_relaxed);
}

void PacketHandlerTable::Install(std::uint8_t packetId, PacketHandler& handler) {
    Store(packetId, &handler);
}

void PacketHandlerTable::Uninstall(std::uint8_t packetId) {
    Store(packetId, &NoOpHandler::Instance());
}

void PacketHandlerTable::Store(std::uint8_t packetId, PacketHandler* handler) {
    const WatchSet before = Watched();
    // Release: the pump that sees the new pointer also sees the handler fully built.
    m_slots[packetId].store(handler, std::memory_order_release);
    if (m_listener) {
        const WatchSet after = Watched();
        if (after != before)
            m_listener->WatchedPacketsChanged(after);
    }
}

WatchSet PacketHandlerTable::Watched() const {
    WatchSet watched;
    for (std::size_t id = 0; id < m_slots.size(); ++id)
        if (m_slots[id].load(std::memory_order_relaxed) != &NoOpHandler::Instance())
            watched.Add(static_cast<std::uint8_t>(id));
    return watched;
}

PacketHandler& PacketHandlerTable::HandlerFor(std::uint8_t packetId) const {
    return *m_slots[packetId].load(std::memory_order_acquire);
}
