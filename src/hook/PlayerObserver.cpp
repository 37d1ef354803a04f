#include "PlayerObserver.h"

#include "ByteOrder.h"
#include "HookBridge.h"

void PlayerObserver::HandlePacket(HookBridge& bridge) {
    const PacketBytes packet = bridge.currentPacket;
    const auto x = PeekBe16(packet, 11);
    const auto y = PeekBe16(packet, 13);
    const auto z = PeekU8(packet, 18);
    if (!x || !y || !z)
        return; // too short: the old position stands
    m_position.Store({*x, *y, *z});
}
