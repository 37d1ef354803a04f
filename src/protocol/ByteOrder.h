#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

// Every multi-byte number in a game packet and in a hook frame is big-endian; everything read from
// or written into one passes through these, on the program's side and the peers'.

using PacketBytes = std::span<const std::uint8_t>;

// Bounds-checked reads: none when the field does not lie wholly inside the bytes.
std::optional<std::uint8_t> PeekU8(PacketBytes bytes, std::size_t offset);
std::optional<std::uint16_t> PeekBe16(PacketBytes bytes, std::size_t offset);
std::optional<std::uint32_t> PeekBe32(PacketBytes bytes, std::size_t offset);

// Writes that stay inside the bytes: false, nothing written, when the field does not fit.
bool PokeU8(std::span<std::uint8_t> bytes, std::size_t offset, std::uint8_t value);
bool PokeBe16(std::span<std::uint8_t> bytes, std::size_t offset, std::uint16_t value);
bool PokeBe32(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value);
