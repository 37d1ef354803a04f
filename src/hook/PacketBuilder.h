#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// The UI thread's buffer for assembling a packet field by field; between builds the cursor
// stands at the start. Fields that would run past the buffer are dropped (never written).
class PacketBuilder {
public:
    static constexpr std::size_t kCapacity = 8192;

    void PutU8(std::uint8_t value);
    void PutBe16(std::uint16_t value);
    void PutBe32(std::uint32_t value);
    // The bytes written so far (the cursor's distance from the start).
    std::span<const std::uint8_t> Bytes() const;
    std::size_t Length() const { return m_cursor; }
    void Reset() { m_cursor = 0; }

private:
    std::uint8_t m_buffer[kCapacity] = {};
    std::size_t m_cursor = 0;
};
