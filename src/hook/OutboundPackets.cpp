#include "OutboundPackets.h"

#include "ByteOrder.h"
#include "CodePage.h"
#include "GamePackets.h"

#include <algorithm>
#include <cstring>

static bool IsHighSurrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

std::vector<std::uint8_t> BuildSystemMessage(std::string_view text, const std::string& codePage) {
    text = text.substr(0, std::min(text.find('\0'), text.size()));
    const std::size_t textBytes = text.size();
    // Dropped rather than cut: a cut could split a double-byte character.
    if (textBytes > kMaxSystemMessageText)
        return {};

    const auto size = static_cast<std::uint16_t>(2 * textBytes + 52);
    std::vector<std::uint8_t> packet(size, 0);
    packet[0] = 0xAE;
    PokeBe16(packet, 1, size);
    // 3..9 stay zero.
    PokeBe16(packet, 10, 0x0481);
    PokeBe16(packet, 12, 3);
    std::memcpy(&packet[14], "JPN", 4); // language code, zero-terminated
    // 18..47: a narrow text field, left empty.

    const std::u16string units = AnsiToUtf16(text, codePage);
    // The text area holds L + 2 units; one must stay free for the zero terminator. No code page
    // gives more units than bytes in practice, but the cap keeps a surprise inside the packet.
    std::size_t count = std::min(units.size(), textBytes + 1);
    if (count < units.size() && count > 0 && IsHighSurrogate(units[count - 1]))
        --count;
    for (std::size_t i = 0; i < count && units[i] != 0; ++i)
        PokeBe16(packet, 48 + 2 * i, units[i]);
    return packet;
}

void WritePlaySoundPacket(PacketBuilder& builder, std::uint16_t number, PlayerPosition::Value position) {
    for (const std::uint8_t byte : BuildPlaySound(number, {position.x, position.y, position.z}))
        builder.PutU8(byte);
}

std::vector<std::uint8_t> PlaySoundPacket(std::uint16_t number, PlayerPosition::Value position) {
    PacketBuilder builder;
    WritePlaySoundPacket(builder, number, position);
    const auto bytes = builder.Bytes();
    return {bytes.begin(), bytes.end()};
}
