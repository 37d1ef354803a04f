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
    // Release: the pump that sees the new pointer also sees the handler fully built.
    m_slots[packetId].store(&handler, std::memory_order_release);
}

void PacketHandlerTable::Uninstall(std::uint8_t packetId) {
    m_slots[packetId].store(&NoOpHandler::Instance(), std::memory_order_release);
}

PacketHandler& PacketHandlerTable::HandlerFor(std::uint8_t packetId) const {
    return *m_slots[packetId].load(std::memory_order_acquire);
}
