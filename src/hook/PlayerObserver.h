#pragma once

#include "PacketHandler.h"
#include "PlayerPosition.h"

// Packet 0x20: remembers the player's position (x at 11, y at 13, z at 18). Always passes; a packet
// shorter than 19 bytes passes unread.
class PlayerObserver final : public PacketHandler {
public:
    explicit PlayerObserver(PlayerPosition& position) : m_position(position) {}
    void HandlePacket(HookBridge& bridge) override;

private:
    PlayerPosition& m_position;
};
