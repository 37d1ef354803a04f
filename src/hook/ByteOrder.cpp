#include "ByteOrder.h"

#include <bit>
#include <cstring>

// Wire order is big-endian; a little-endian host swaps, a big-endian one takes the bytes as they are.
static std::uint16_t FromBe16(std::uint16_t raw) {
    return std::endian::native == std::endian::little ? Swap16(raw) : raw;
}

static std::uint32_t FromBe32(std::uint32_t raw) {
    return std::endian::native == std::endian::little ? Swap32(raw) : raw;
}

static bool Fits(PacketBytes packet, std::size_t offset, std::size_t width) {
    return packet.size() >= width && offset <= packet.size() - width;
}

std::optional<std::uint8_t> ReadU8(PacketBytes packet, std::size_t offset) {
    if (!Fits(packet, offset, 1))
        return std::nullopt;
    return packet[offset];
}

std::optional<std::uint16_t> ReadBe16(PacketBytes packet, std::size_t offset) {
    if (!Fits(packet, offset, 2))
        return std::nullopt;
    std::uint16_t raw;
    std::memcpy(&raw, packet.data() + offset, sizeof raw);
    return FromBe16(raw);
}

std::optional<std::uint32_t> ReadBe32(PacketBytes packet, std::size_t offset) {
    if (!Fits(packet, offset, 4))
        return std::nullopt;
    std::uint32_t raw;
    std::memcpy(&raw, packet.data() + offset, sizeof raw);
    return FromBe32(raw);
}
