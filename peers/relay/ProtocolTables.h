#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// The game protocol's fixed tables, generated into ProtocolTables.cpp by
// tools/make-relay-tables.py.

// One symbol's code in the compression of the server's stream: `length` bits, the most
// significant first, in the low bits of `bits`.
struct HuffmanCode {
    std::uint16_t bits;
    std::uint8_t length;
};

inline constexpr std::size_t kHuffmanSymbols = 257;
// The end-of-packet code, after the 256 byte values.
inline constexpr std::uint16_t kHuffmanEndSymbol = 256;
inline constexpr unsigned kHuffmanLongestCode = 11;

extern const std::array<HuffmanCode, kHuffmanSymbols> kHuffmanCodes;

// Every packet id's length for current clients; 0: variable, a 16-bit total length follows the id.
extern const std::array<std::uint16_t, 256> kCurrentPacketLengths;
