#include "HuffmanCodec.h"

#include "ProtocolTables.h"

#include <algorithm>

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
    // Room for what the input can hold (at most four codes to a byte), grown as needed: a call
    // that stops at the first end code of a long input decodes only a little of it.
    const std::size_t start = out.size();
    std::size_t room = std::min<std::size_t>(4 * input.size() + 8, 256);
    out.resize(start + room);
    std::uint8_t* write = out.data() + start;
    std::uint8_t* limit = out.data() + out.size();
    // The state in locals: bytes written through `write` could otherwise alias it.
    std::uint64_t bits = m_bits;
    unsigned count = m_count;
    bool atStart = m_atStart;
    for (;;) {
        while (count <= 56 && at < input.size()) {
            bits = (bits << 8) | input[at++];
            count += 8;
        }
        if (count == 0)
            break;
        const unsigned peek = count >= kHuffmanLongestCode
                                  ? static_cast<unsigned>(bits >> (count - kHuffmanLongestCode)) & 0x7FF
                                  : static_cast<unsigned>(bits << (kHuffmanLongestCode - count)) & 0x7FF;
        const Entry entry = m_table[peek];
        if (entry.length > count)
            break; // the code goes on in the next piece
        count -= entry.length;
        atStart = false;
        if (entry.symbol != kHuffmanEndSymbol) {
            if (write == limit) {
                const std::size_t used = static_cast<std::size_t>(write - out.data());
                room *= 2;
                out.resize(start + room);
                write = out.data() + used;
                limit = out.data() + out.size();
            }
            *write++ = static_cast<std::uint8_t>(entry.symbol);
            continue;
        }
        count -= count % 8; // the rest of the end code's byte is padding
        atStart = true;
        if (stopAtEnd) {
            // Whole bytes already taken in but not decoded go back to the caller.
            at -= count / 8;
            count = 0;
            progress.ended = true;
            break;
        }
    }
    m_bits = bits;
    m_count = count;
    m_atStart = atStart;
    progress.consumed = at;
    out.resize(static_cast<std::size_t>(write - out.data()));
    return progress;
}
