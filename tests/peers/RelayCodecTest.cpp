// The relay's byte-level pieces: compression, packet lengths by client version, packet cutting.

#include "HuffmanCodec.h"
#include "PacketCutter.h"
#include "ProtocolTables.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Hex(const std::string& text) {
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 3)
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

Bytes Compress(const Bytes& packet) {
    Bytes out;
    HuffmanCompressor().Feed(packet, out);
    return out;
}

// A packet of `id` as the current table sizes it, with random contents.
Bytes RandomPacket(std::mt19937& random, std::uint8_t id, const PacketLengths& lengths) {
    std::size_t size = *lengths.Length(id);
    if (size == 0)
        size = 3 + random() % 300;
    Bytes packet(size);
    for (auto& byte : packet)
        byte = static_cast<std::uint8_t>(random());
    packet[0] = id;
    if (*lengths.Length(id) == 0) {
        packet[1] = static_cast<std::uint8_t>(size >> 8);
        packet[2] = static_cast<std::uint8_t>(size);
    }
    return packet;
}

} // namespace

TEST(HuffmanCodecTest, KnownPairs) {
    const struct {
        const char* plain;
        const char* compressed;
    } pairs[] = {
        {"", "d0"},
        {"00", "34"},
        {"54 01 01 f4 00 00 04 d2 02 37 00 08", "5e ff e4 f0 eb 70 45 95 38 34"},
    };
    for (const auto& pair : pairs) {
        SCOPED_TRACE(pair.plain);
        EXPECT_EQ(Compress(Hex(pair.plain)), Hex(pair.compressed));
        Bytes decoded;
        HuffmanDecompressor decompressor;
        const auto progress = decompressor.FeedToEnd(Hex(pair.compressed), decoded);
        EXPECT_TRUE(progress.ended);
        EXPECT_EQ(progress.consumed, Hex(pair.compressed).size());
        EXPECT_EQ(decoded, Hex(pair.plain));
    }
}

TEST(HuffmanCodecTest, CodeIsCompleteAndPrefixFree) {
    // Every bit string decodes: the code's lengths fill the space exactly.
    unsigned long long space = 0;
    for (const auto& code : kHuffmanCodes)
        space += 1ull << (kHuffmanLongestCode - code.length);
    EXPECT_EQ(space, 1ull << kHuffmanLongestCode);
    EXPECT_EQ(kHuffmanCodes[kHuffmanEndSymbol].length, 4);
    EXPECT_EQ(kHuffmanCodes[kHuffmanEndSymbol].bits, 0b1101);
}

TEST(HuffmanCodecTest, RandomPacketsRoundTripInPiecesOfEverySize) {
    std::mt19937 random(11);
    const PacketLengths lengths;
    std::vector<Bytes> packets;
    Bytes stream, plain;
    for (int k = 0; k < 300; ++k) {
        packets.push_back(RandomPacket(random, static_cast<std::uint8_t>(random()), lengths));
        const Bytes compressed = Compress(packets.back());
        EXPECT_LE(compressed.size(), HuffmanCompressor::MaxCompressedSize(packets.back().size()));
        stream.insert(stream.end(), compressed.begin(), compressed.end());
        plain.insert(plain.end(), packets.back().begin(), packets.back().end());
    }
    for (std::size_t piece = 1; piece <= 64; ++piece) {
        SCOPED_TRACE(piece);
        HuffmanDecompressor decompressor;
        Bytes decoded;
        for (std::size_t at = 0; at < stream.size(); at += piece)
            decompressor.Feed(std::span(stream).subspan(at, std::min(piece, stream.size() - at)), decoded);
        EXPECT_EQ(decoded, plain);
        EXPECT_TRUE(decompressor.AtPacketStart());
    }
    // Stopping at each end code finds every packet's own bytes.
    HuffmanDecompressor decompressor;
    std::span<const std::uint8_t> rest(stream);
    for (const auto& packet : packets) {
        Bytes decoded;
        const auto progress = decompressor.FeedToEnd(rest, decoded);
        ASSERT_TRUE(progress.ended);
        EXPECT_EQ(decoded, packet);
        EXPECT_TRUE(decompressor.AtPacketStart());
        rest = rest.subspan(progress.consumed);
    }
    EXPECT_TRUE(rest.empty());
}

TEST(HuffmanCodecTest, SeveralPacketsCompressedInOneGo) {
    // Some servers end only a burst with the end code; the stream is the same bytes.
    const Bytes burst = Hex("55 54 01 01 f4 00 00 04 d2 02 37 00 08 22 05 00");
    Bytes decoded;
    HuffmanDecompressor decompressor;
    decompressor.Feed(Compress(burst), decoded);
    EXPECT_EQ(decoded, burst);
}

TEST(PacketLengthsTest, VersionsChangeTheirIds) {
    const struct {
        ClientVersion version;
        std::uint8_t id;
        std::uint16_t length;
    } cases[] = {
        {{7, 0, 104, 0}, 0xB9, 5},   {{6, 0, 14, 2}, 0xB9, 5},     {{6, 0, 14, 1}, 0xB9, 3}, {{5, 0, 9, 0}, 0xE1, 0},
        {{5, 0, 8, 9}, 0xE1, 9},     {{4, 0, 11, 0}, 0x0B, 0x10A}, {{5, 0, 0, 0}, 0x0B, 7},  {{7, 0, 18, 0}, 0x00, 106},
        {{7, 0, 17, 99}, 0x00, 104}, {{7, 0, 9, 0}, 0xF1, 9},      {{7, 0, 8, 0}, 0xF1, 0},  {{7, 0, 104, 0}, 0xFD, 2},
        {{7, 0, 103, 0}, 0xFD, 0},   {{6, 0, 1, 7}, 0x25, 21},     {{6, 0, 1, 6}, 0x25, 20}, {{6, 0, 1, 2}, 0xE9, 0},
        {{7, 0, 0, 0}, 0x54, 12},    {{2, 0, 0, 0}, 0x1B, 37},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version.Text() + " id " + std::to_string(c.id));
        EXPECT_EQ(PacketLengths::ForVersion(c.version).Length(c.id), c.length);
    }
    EXPECT_EQ(PacketLengths().Length(0xB9), 5);
    EXPECT_EQ(ClientVersion::Parse("7.0.104.2"), (ClientVersion{7, 0, 104, 2}));
    EXPECT_EQ(ClientVersion::Parse("5.0.9"), (ClientVersion{5, 0, 9, 0}));
    for (const char* bad : {"", "7", "7.0", "7.0.x", "7.0.1.2.3", "7..1", "-7.0.1"})
        EXPECT_FALSE(ClientVersion::Parse(bad)) << bad;
}

TEST(PacketCutterTest, CutsAtEverySplit) {
    std::mt19937 random(3);
    const PacketLengths lengths;
    Bytes stream;
    std::vector<Bytes> packets;
    for (int id : {0x1B, 0x55, 0xA9, 0x54, 0x20, 0x22, 0xAE, 0x04, 0xF0}) {
        packets.push_back(RandomPacket(random, static_cast<std::uint8_t>(id), lengths));
        stream.insert(stream.end(), packets.back().begin(), packets.back().end());
    }
    for (std::size_t split = 0; split <= stream.size(); ++split) {
        PacketCutter cutter(lengths);
        std::vector<Bytes> cut;
        auto collect = [&](std::span<const std::uint8_t> packet) { cut.emplace_back(packet.begin(), packet.end()); };
        cutter.Feed(std::span(stream).first(split), collect);
        cutter.Feed(std::span(stream).subspan(split), collect);
        ASSERT_EQ(cut, packets) << "split at " << split;
        EXPECT_EQ(cutter.Pending(), 0u);
    }
}

TEST(PacketCutterTest, FaultsKeepEveryByteFromThePacketOn) {
    PacketLengths lengths;
    lengths.Forget(0xF0);
    const struct {
        const char* stream;
        const char* fault;
        std::size_t packets;
        const char* uncut;
    } cases[] = {
        {"55 f0 00 05 01", "packet 0xf0 has no known length", 1, "f0 00 05 01"},
        {"55 ae 00 02 ff 55", "packet 0xae gives its length as 2", 1, "ae 00 02 ff 55"},
        {"ae 00 00", "packet 0xae gives its length as 0", 0, "ae 00 00"},
        {"55 55 22 01", "", 2, ""}, // a packet begun, no fault
        {"55 ae 00 03", "", 2, ""}, // the shortest variable packet, whole as soon as its length is in
    };
    for (const auto& c : cases) {
        const Bytes stream = Hex(c.stream);
        for (std::size_t split = 0; split <= stream.size(); ++split) {
            SCOPED_TRACE(std::string(c.stream) + " split at " + std::to_string(split));
            PacketCutter cutter(lengths);
            std::size_t count = 0;
            cutter.Feed(std::span(stream).first(split), [&](auto) { ++count; });
            cutter.Feed(std::span(stream).subspan(split), [&](auto) { ++count; });
            EXPECT_EQ(cutter.Fault(), c.fault);
            EXPECT_EQ(count, c.packets);
            EXPECT_EQ(cutter.TakeUncut(), Hex(c.uncut));
            if (cutter.Faulted()) {
                cutter.Feed(Hex("55"), [&](auto) { ++count; });
                EXPECT_EQ(count, c.packets) << "nothing is cut after a fault";
                EXPECT_EQ(cutter.TakeUncut(), Hex("55"));
            }
        }
    }
}
