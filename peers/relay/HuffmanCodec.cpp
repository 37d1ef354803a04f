#include "HuffmanCodec.h"

#include "ProtocolTables.h"

void HuffmanCompressor::Feed(std::span<const std::uint8_t> packet, std::vector<std::uint8_t>& out) const {
    const std::size_t start = out.size();
    out.resize(start + MaxCompressedSize(packet.size()));
    std::uint8_t* write = out.data() + start;
    std::uint64_t bits = 0;
    unsigned count = 0;
    auto put = [&](const HuffmanCode& code) {
        bits = (bits << code.length) | code.bits;
        count += code.length;
        while (count >= 8) {
            count -= 8;
            *write++ = static_cast<std::uint8_t>(bits >> count);
        }
    };
    for (const std::uint8_t byte : packet)
        put(kHuffmanCodes[byte]);
    put(kHuffmanCodes[kHuffmanEndSymbol]);
    if (count > 0)
        *write++ = static_cast<std::uint8_t>(bits << (8 - count));
    out.resize(static_cast<std::size_t>(write - out.data()));
}

HuffmanDecompressor::HuffmanDecompressor() {
    // Every 11-bit string starts with exactly one code; a short code fills all the strings it begins.
    for (std::uint16_t symbol = 0; symbol < kHuffmanSymbols; ++symbol) {
        const auto& code = kHuffmanCodes[symbol];
        const unsigned free = kHuffmanLongestCode - code.length;
        const unsigned first = static_cast<unsigned>(code.bits) << free;
        for (unsigned k = 0; k < (1u << free); ++k)
            m_table[first + k] = {symbol, code.length};
    }
}

void HuffmanDecompressor::Feed(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& out) {
    Decode(input, out, false);
}

HuffmanDecompressor::Progress HuffmanDecompressor::FeedToEnd(std::span<const std::uint8_t> input,
                                                             std::vector<std::uint8_t>& out) {
    return Decode(input, out, true);
}

HuffmanDecompressor::Progress HuffmanDecompressor::Decode(std::span<const std::uint8_t> input,
                                                          std::vector<std::uint8_t>& out, bool stopAtEnd) {
    Progress progress;
    std::size_t at = 0;
    // At most four codes fit a byte: room for the worst case, trimmed at the end.
    const std::size_t start = out.size();
    out.resize(start + 4 * (input.size() + 2));
    std::uint8_t* write = out.data() + start;
    for (;;) {
        while (m_count <= 56 && at < input.size()) {
            m_bits = (m_bits << 8) | input[at++];
            m_count += 8;
        }
        if (m_count == 0)
            break;
        const unsigned peek = m_count >= kHuffmanLongestCode
                                  ? static_cast<unsigned>(m_bits >> (m_count - kHuffmanLongestCode)) & 0x7FF
                                  : static_cast<unsigned>(m_bits << (kHuffmanLongestCode - m_count)) & 0x7FF;
        const Entry entry = m_table[peek];
        if (entry.length > m_count)
            break; // the code goes on in the next piece
        m_count -= entry.length;
        m_atStart = false;
        if (entry.symbol != kHuffmanEndSymbol) {
            *write++ = static_cast<std::uint8_t>(entry.symbol);
            continue;
        }
        m_count -= m_count % 8; // the rest of the end code's byte is padding
        m_atStart = true;
        if (stopAtEnd) {
            // Whole bytes already taken in but not decoded go back to the caller.
            at -= m_count / 8;
            m_count = 0;
            progress.ended = true;
            break;
        }
    }
    progress.consumed = at;
    out.resize(static_cast<std::size_t>(write - out.data()));
    return progress;
}
