#pragma once

#include "ByteOrder.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

// The two game packets that the program and every peer read or write: the 12-byte play-sound
// packet 0x54 and the 19-byte player packet 0x20. Their layouts live here and nowhere else.

inline constexpr std::uint8_t kSoundPacketId = 0x54;
inline constexpr std::size_t kSoundPacketLength = 12;
inline constexpr std::uint8_t kPlayerPacketId = 0x20;
inline constexpr std::size_t kPlayerPacketLength = 19;

// In 0x20: x stands here, y right after it, the facing at kPlayerFacingAt and z last.
inline constexpr std::size_t kPlayerXAt = 11;
inline constexpr std::size_t kPlayerFacingAt = 17;

struct GamePlace {
    std::uint16_t x = 0;
    std::uint16_t y = 0;
    std::uint8_t z = 0; // a signed byte on the wire
    friend bool operator==(const GamePlace&, const GamePlace&) = default;
};

// The sound number of a 0x54; none when the packet is too short to hold it. The id is not checked.
std::optional<std::uint16_t> SoundNumberOf(PacketBytes packet);
// Where a 0x54 plays; none when the packet is too short to hold x, y and z.
std::optional<GamePlace> SoundPlaceOf(PacketBytes packet);
// Where a 0x20 puts the player; none when the packet is too short to hold x, y and z.
std::optional<GamePlace> PlayerPlaceOf(PacketBytes packet);

// A 0x54 that plays `number` once at `at`.
std::array<std::uint8_t, kSoundPacketLength> BuildPlaySound(std::uint16_t number, GamePlace at);
// A 0x20 with the player at `at`; serial, body, hue, flags and facing stay 0.
std::array<std::uint8_t, kPlayerPacketLength> BuildPlayer(GamePlace at);

// Moves a 0x54 to x, y, so the client plays it at the player's side and not where the player last
// stood when the program saw a 0x20. False, unchanged, for anything but a whole 0x54.
bool PlaceSoundAt(std::span<std::uint8_t> packet, std::uint16_t x, std::uint16_t y);
