#include "PlayCommand.h"

#include "OutboundPackets.h"
#include "SoundNumber.h"

#include <string>

bool RunPlayCommand(HookBridge& bridge, ClientWindowRaiser& raiser, const PlayerPosition& position,
                    std::string_view numberText) {
    const std::uint32_t window = bridge.Library().GetClientWindow();
    if (window == 0)
        return false; // no client attached: nothing to play into
    raiser.RaiseWindow(window);

    // No range check: 0, 0xFFFF and anything else go out as their low 16 bits.
    const auto number = static_cast<std::uint16_t>(static_cast<std::uint32_t>(ParseSoundNumber(numberText)) & 0xFFFF);
    std::string message = "Play Sound No.0x";
    message.append(numberText);
    bridge.QueueSystemMessage(message);

    PacketBuilder& builder = bridge.Builder();
    builder.Reset();
    WritePlaySoundPacket(builder, number, position.Load());
    const auto bytes = builder.Bytes();
    bridge.QueuePacket(bytes.data(), bytes.size());
    builder.Reset();
    return true;
}
