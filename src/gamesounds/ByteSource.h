#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

// Where the sound readers take their bytes from: a file read at offsets, or memory (tests, fuzzing).
// ReadAt may be called from several threads at once.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual std::uint64_t Size() const = 0;
    // Exactly out.size() bytes from `offset`; false when they are not all there (or cannot be read).
    virtual bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const = 0;
};

class MemoryBytes final : public ByteSource {
public:
    explicit MemoryBytes(std::span<const std::uint8_t> bytes) : m_bytes(bytes) {}
    std::uint64_t Size() const override { return m_bytes.size(); }
    bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const override {
        if (offset > m_bytes.size() || out.size() > m_bytes.size() - offset)
            return false;
        std::copy_n(m_bytes.begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
        return true;
    }

private:
    std::span<const std::uint8_t> m_bytes;
};

// Little-endian fields of the sound files.
inline std::uint32_t Le32(const std::uint8_t* in) {
    return std::uint32_t{in[0]} | (std::uint32_t{in[1]} << 8) | (std::uint32_t{in[2]} << 16) |
           (std::uint32_t{in[3]} << 24);
}
inline std::uint64_t Le64(const std::uint8_t* in) {
    return std::uint64_t{Le32(in)} | (std::uint64_t{Le32(in + 4)} << 32);
}
inline std::uint16_t Le16(const std::uint8_t* in) {
    return static_cast<std::uint16_t>(in[0] | (in[1] << 8));
}
