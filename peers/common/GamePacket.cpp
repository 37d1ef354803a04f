#include "GamePacket.h"

std::vector<std::uint8_t> SoundPacket(std::uint16_t sound, std::uint16_t x, std::uint16_t y, std::int8_t z) {
    std::vector<std::uint8_t> packet(kSoundPacketLength, 0);
    packet[0] = kSoundPacketId;
    packet[1] = 0x01;
    PokeBe16(packet, 2, sound);
    PokeBe16(packet, 6, x);
    PokeBe16(packet, 8, y);
    packet[11] = static_cast<std::uint8_t>(z);
    return packet;
}

std::vector<std::uint8_t> PlayerPacket(std::uint16_t x, std::uint16_t y, std::int8_t z) {
    // Serial, body, hue, flags and direction stay 0: only the position matters to Kestrune.
    std::vector<std::uint8_t> packet(kPlayerPacketLength, 0);
    packet[0] = kPlayerPacketId;
    PokeBe16(packet, 11, x);
    PokeBe16(packet, 13, y);
    packet[18] = static_cast<std::uint8_t>(z);
    return packet;
}

bool PlaceSoundAt(std::span<std::uint8_t> packet, std::uint16_t x, std::uint16_t y) {
    if (packet.size() != kSoundPacketLength || packet[0] != kSoundPacketId)
        return false;
    PokeBe16(packet, 6, x);
    PokeBe16(packet, 8, y);
    return true;
}
