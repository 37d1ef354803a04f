#include "GamePackets.h"

namespace {
constexpr std::size_t kSoundNumberAt = 2;
constexpr std::size_t kSoundXAt = 6;
constexpr std::size_t kSoundZAt = 11;
constexpr std::size_t kPlayerZAt = 18;
} // namespace

std::optional<std::uint16_t> SoundNumberOf(PacketBytes packet) {
    return PeekBe16(packet, kSoundNumberAt);
}

static std::optional<GamePlace> PlaceOf(PacketBytes packet, std::size_t xAt, std::size_t zAt) {
    const auto x = PeekBe16(packet, xAt);
    const auto y = PeekBe16(packet, xAt + 2);
    const auto z = PeekU8(packet, zAt);
    if (!x || !y || !z)
        return std::nullopt;
    return GamePlace{*x, *y, *z};
}

std::optional<GamePlace> SoundPlaceOf(PacketBytes packet) {
    return PlaceOf(packet, kSoundXAt, kSoundZAt);
}

std::optional<GamePlace> PlayerPlaceOf(PacketBytes packet) {
    return PlaceOf(packet, kPlayerXAt, kPlayerZAt);
}

std::array<std::uint8_t, kSoundPacketLength> BuildPlaySound(std::uint16_t number, GamePlace at) {
    std::array<std::uint8_t, kSoundPacketLength> packet{};
    packet[0] = kSoundPacketId;
    packet[1] = 0x01; // play once
    PokeBe16(packet, kSoundNumberAt, number);
    // 4..5, the volume, and 10 stay 0.
    PokeBe16(packet, kSoundXAt, at.x);
    PokeBe16(packet, kSoundXAt + 2, at.y);
    packet[kSoundZAt] = at.z;
    return packet;
}

std::array<std::uint8_t, kPlayerPacketLength> BuildPlayer(GamePlace at) {
    std::array<std::uint8_t, kPlayerPacketLength> packet{};
    packet[0] = kPlayerPacketId;
    PokeBe16(packet, kPlayerXAt, at.x);
    PokeBe16(packet, kPlayerXAt + 2, at.y);
    packet[kPlayerZAt] = at.z;
    return packet;
}

bool PlaceSoundAt(std::span<std::uint8_t> packet, std::uint16_t x, std::uint16_t y) {
    if (packet.size() != kSoundPacketLength || packet[0] != kSoundPacketId)
        return false;
    PokeBe16(packet, kSoundXAt, x);
    PokeBe16(packet, kSoundXAt + 2, y);
    return true;
}
