#pragma once

#include "ByteOrder.h"
#include "GamePackets.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// The few game packets the peers read, build or touch, apart from the program's own code: the
// peers share only the frame codec, the big-endian fields (ByteOrder.h) and the layouts of 0x54
// and 0x20 (GamePackets.h, PlaceSoundAt among them) with it.

using PacketView = std::span<const std::uint8_t>;

// Event codes of the hook socket: which way the packet was going.
inline constexpr std::int32_t kEventFromServer = 1424;
inline constexpr std::int32_t kEventFromClient = 1425;

// Packet ids that carry the player's account name or password: 0x80 and 0xCF (the account login
// and its older form), 0x91 (the game login), 0x83 (delete a character, with the password). They
// are never shown to anyone but their receiver, whatever the program watches.
inline constexpr bool IsLoginPacket(std::uint8_t id) {
    return id == 0x80 || id == 0x83 || id == 0x91 || id == 0xCF;
}

// The 12-byte 0x54 packet: play `sound` at x, y, z.
std::vector<std::uint8_t> SoundPacket(std::uint16_t sound, std::uint16_t x, std::uint16_t y, std::int8_t z);
// The 19-byte 0x20 packet: the player stands at x, y, z.
std::vector<std::uint8_t> PlayerPacket(std::uint16_t x, std::uint16_t y, std::int8_t z);
