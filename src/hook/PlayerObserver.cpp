#include "PlayerObserver.h"

#include "GamePackets.h"
#include "HookBridge.h"

void PlayerObserver::HandlePacket(HookBridge& bridge) {
    const auto place = PlayerPlaceOf(bridge.currentPacket);
    if (!place)
        return; // too short: the old position stands
    m_position.Store({place->x, place->y, place->z});
}
