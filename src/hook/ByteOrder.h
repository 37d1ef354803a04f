#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

// Packets are big-endian; everything written into or read from one passes through these.
constexpr std::uint16_t Swap16(std::uint16_t v) { return static_cast<std::uint16_t>((v >> 8) | (v << 8)); }
constexpr std::uint32_t Swap32(std::uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0x0000FF00u) | ((v << 8) & 0x00FF0000u) | (v << 24);
}

using PacketBytes = std::span<const std::uint8_t>;

// Bounds-checked reads of big-endian fields: none when the packet is too short.
std::optional<std::uint8_t> ReadU8(PacketBytes packet, std::size_t offset);
std::optional<std::uint16_t> ReadBe16(PacketBytes packet, std::size_t offset);
std::optional<std::uint32_t> ReadBe32(PacketBytes packet, std::size_t offset);
