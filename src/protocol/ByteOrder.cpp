#include "ByteOrder.h"

namespace {

// Written so that no offset near SIZE_MAX can wrap past the check.
bool Fits(std::size_t size, std::size_t offset, std::size_t width) {
    return size >= width && offset <= size - width;
}

template <class Value> std::optional<Value> Peek(PacketBytes bytes, std::size_t offset) {
    if (!Fits(bytes.size(), offset, sizeof(Value)))
        return std::nullopt;
    Value value = 0;
    for (std::size_t i = 0; i < sizeof(Value); ++i)
        value = static_cast<Value>((value << 8) | bytes[offset + i]);
    return value;
}

template <class Value> bool Poke(std::span<std::uint8_t> bytes, std::size_t offset, Value value) {
    if (!Fits(bytes.size(), offset, sizeof(Value)))
        return false;
    for (std::size_t i = sizeof(Value); i-- > 0; value = static_cast<Value>(value >> 8))
        bytes[offset + i] = static_cast<std::uint8_t>(value);
    return true;
}

} // namespace

std::optional<std::uint8_t> PeekU8(PacketBytes bytes, std::size_t offset) {
    return Peek<std::uint8_t>(bytes, offset);
}

std::optional<std::uint16_t> PeekBe16(PacketBytes bytes, std::size_t offset) {
    return Peek<std::uint16_t>(bytes, offset);
}

std::optional<std::uint32_t> PeekBe32(PacketBytes bytes, std::size_t offset) {
    return Peek<std::uint32_t>(bytes, offset);
}

bool PokeU8(std::span<std::uint8_t> bytes, std::size_t offset, std::uint8_t value) {
    return Poke(bytes, offset, value);
}

bool PokeBe16(std::span<std::uint8_t> bytes, std::size_t offset, std::uint16_t value) {
    return Poke(bytes, offset, value);
}

bool PokeBe32(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value) {
    return Poke(bytes, offset, value);
}
