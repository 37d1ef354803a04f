#include "PacketBuilder.h"

#include "ByteOrder.h"

#include <bit>
#include <cstring>

template <class T> static T ToBe(T value) {
    if constexpr (std::endian::native == std::endian::big)
        return value;
    else if constexpr (sizeof(T) == 2)
        return Swap16(value);
    else
        return Swap32(value);
}

void PacketBuilder::PutU8(std::uint8_t value) {
    if (kCapacity - m_cursor < 1)
        return;
    m_buffer[m_cursor++] = value;
}

void PacketBuilder::PutBe16(std::uint16_t value) {
    if (kCapacity - m_cursor < 2)
        return;
    const std::uint16_t wire = ToBe(value);
    std::memcpy(m_buffer + m_cursor, &wire, sizeof wire);
    m_cursor += sizeof wire;
}

void PacketBuilder::PutBe32(std::uint32_t value) {
    if (kCapacity - m_cursor < 4)
        return;
    const std::uint32_t wire = ToBe(value);
    std::memcpy(m_buffer + m_cursor, &wire, sizeof wire);
    m_cursor += sizeof wire;
}

std::span<const std::uint8_t> PacketBuilder::Bytes() const {
    return {m_buffer, m_cursor};
}
