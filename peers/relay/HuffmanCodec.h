#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// The compression of a game connection's server stream: a prefix code over the 256 byte values
// and an end-of-packet code (ProtocolTables.h). The code is complete, so every bit string
// decodes: a stream that is not compressed this way shows up as nonsense packets, not here.

// Compresses one packet on its own: each byte's code, the end code, zero bits to the byte boundary.
class HuffmanCompressor {
public:
    static constexpr std::size_t MaxCompressedSize(std::size_t length) { return (11 * length + 4 + 7) / 8; }

    // Appends the compressed form of `packet` to `out`.
    void Feed(std::span<const std::uint8_t> packet, std::vector<std::uint8_t>& out) const;
};

// Decompresses the server's stream as it comes: the position in the code carries over from one
// piece to the next, and pieces need not line up with packets or codes.
class HuffmanDecompressor {
public:
    struct Progress {
        std::size_t consumed = 0; // input bytes used
        bool ended = false;       // an end code was reached: the next byte starts a new packet
    };

    HuffmanDecompressor();

    // Decodes all of `input`, appending the bytes to `out`.
    void Feed(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& out);
    // Decodes `input` up to and including the first end code (and the rest of its byte), or all
    // of it when it holds none.
    Progress FeedToEnd(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& out);
    // No code begun: the stream is at its start or right after an end code.
    bool AtPacketStart() const { return m_count == 0 && m_atStart; }

private:
    struct Entry {
        std::uint16_t symbol;
        std::uint8_t length;
    };
    Progress Decode(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& out, bool stopAtEnd);

    std::array<Entry, 1u << 11> m_table{};
    std::uint64_t m_bits = 0; // the low m_count bits are unread input
    unsigned m_count = 0;
    bool m_atStart = true;
};
