#include "PacketBuilder.h"

#include "ByteOrder.h"

void PacketBuilder::PutU8(std::uint8_t value) {
    if (PokeU8(m_buffer, m_cursor, value))
        m_cursor += 1;
}

void PacketBuilder::PutBe16(std::uint16_t value) {
    if (PokeBe16(m_buffer, m_cursor, value))
        m_cursor += 2;
}

void PacketBuilder::PutBe32(std::uint32_t value) {
    if (PokeBe32(m_buffer, m_cursor, value))
        m_cursor += 4;
}

std::span<const std::uint8_t> PacketBuilder::Bytes() const {
    return {m_buffer, m_cursor};
}
