#include "GamePacket.h"

std::vector<std::uint8_t> SoundPacket(std::uint16_t sound, std::uint16_t x, std::uint16_t y, std::int8_t z) {
    const auto packet = BuildPlaySound(sound, {x, y, static_cast<std::uint8_t>(z)});
    return {packet.begin(), packet.end()};
}

std::vector<std::uint8_t> PlayerPacket(std::uint16_t x, std::uint16_t y, std::int8_t z) {
    const auto packet = BuildPlayer({x, y, static_cast<std::uint8_t>(z)});
    return {packet.begin(), packet.end()};
}
