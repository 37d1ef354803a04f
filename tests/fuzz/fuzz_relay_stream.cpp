// Any bytes as a game server's compressed stream and as a stream of packets, in any pieces.
#include "HuffmanCodec.h"
#include "PacketCutter.h"
#include "ProtocolTables.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <span>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// The decoding rule, one bit at a time.
Bytes ModelDecode(std::span<const std::uint8_t> input) {
    static const auto codes = [] {
        std::map<std::pair<unsigned, unsigned>, unsigned> map;
        for (unsigned symbol = 0; symbol < kHuffmanSymbols; ++symbol)
            map[{kHuffmanCodes[symbol].length, kHuffmanCodes[symbol].bits}] = symbol;
        return map;
    }();
    Bytes out;
    unsigned length = 0, bits = 0;
    for (std::size_t at = 0; at < input.size(); ++at) {
        for (int bit = 7; bit >= 0; --bit) {
            bits = bits << 1 | ((input[at] >> bit) & 1u);
            ++length;
            const auto found = codes.find({length, bits});
            if (found == codes.end())
                continue;
            length = bits = 0;
            if (found->second == kHuffmanEndSymbol)
                break; // the rest of the byte is padding
            out.push_back(static_cast<std::uint8_t>(found->second));
        }
        Check(length <= kHuffmanLongestCode, "every bit string decodes");
    }
    return out;
}

struct Cut {
    std::vector<Bytes> packets;
    Bytes uncut;
    std::size_t pending = 0;
};

Cut CutInPieces(const PacketLengths& lengths, std::span<const std::uint8_t> stream, std::size_t piece) {
    PacketCutter cutter(lengths);
    Cut cut;
    for (std::size_t at = 0; at < stream.size(); at += piece)
        cutter.Feed(stream.subspan(at, std::min(piece, stream.size() - at)),
                    [&](std::span<const std::uint8_t> p) { cut.packets.emplace_back(p.begin(), p.end()); });
    cut.uncut = cutter.TakeUncut();
    cut.pending = cutter.Pending();
    Check(cutter.Faulted() == !cut.uncut.empty(), "uncut bytes only after a fault");
    return cut;
}

void CheckCutting(const PacketLengths& lengths, std::span<const std::uint8_t> stream, std::size_t piece) {
    const Cut whole = CutInPieces(lengths, stream, stream.size() + 1);
    const Cut pieces = CutInPieces(lengths, stream, piece);
    Check(whole.packets == pieces.packets && whole.uncut == pieces.uncut && whole.pending == pieces.pending,
          "pieces cut like the whole");
    std::size_t total = whole.uncut.size() + whole.pending;
    for (const auto& packet : whole.packets) {
        const auto length = lengths.Length(packet[0]);
        Check(length.has_value(), "only sizable packets are cut");
        Check(*length == 0 ? packet.size() >= 3 && ((packet[1] << 8) | packet[2]) == static_cast<int>(packet.size())
                           : packet.size() == *length,
              "a packet is as long as its id says");
        total += packet.size();
    }
    Check(total == stream.size(), "every byte is a packet's, uncut or pending");

    // Giving up (a packet held too long, the stream's end) keeps the packet begun, and every byte after.
    PacketCutter cutter(lengths);
    std::size_t cutBytes = 0;
    const std::size_t half = stream.size() / 2;
    cutter.Feed(stream.first(half), [&](std::span<const std::uint8_t> p) { cutBytes += p.size(); });
    cutter.GiveUp("held too long");
    cutter.Feed(stream.subspan(half),
                [&](std::span<const std::uint8_t>) { Check(false, "no packet after giving up"); });
    Check(cutter.Faulted() && cutter.Pending() == 0, "nothing pending after giving up");
    const Bytes uncut = cutter.TakeUncut();
    Check(cutBytes + uncut.size() == stream.size() &&
              std::equal(uncut.begin(), uncut.end(), stream.end() - static_cast<std::ptrdiff_t>(uncut.size())),
          "giving up loses nothing");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    const std::size_t piece = 1 + data[0] % 64;
    const ClientVersion versions[] = {{4, 0, 0, 0}, {6, 0, 1, 5}, {6, 0, 14, 1}, {7, 0, 9, 0}, {7, 0, 104, 2}};
    PacketLengths lengths = PacketLengths::ForVersion(versions[data[1] % 5]);
    if (data[1] & 0x80)
        lengths.Forget(data[1] & 0x7F); // a table with a hole, as a shard's own packet makes one
    const std::span<const std::uint8_t> input(data + 2, size - 2);

    HuffmanDecompressor whole;
    Bytes decoded;
    whole.Feed(input, decoded);
    Check(decoded == ModelDecode(input), "decoding follows the rule");

    HuffmanDecompressor pieces;
    Bytes piecewise;
    for (std::size_t at = 0; at < input.size(); at += piece)
        pieces.Feed(input.subspan(at, std::min(piece, input.size() - at)), piecewise);
    Check(piecewise == decoded, "pieces decode like the whole");

    // Stopping at each end code: the same bytes, and each ended packet compresses back to itself.
    HuffmanDecompressor stepwise;
    Bytes joined;
    std::span<const std::uint8_t> rest = input;
    while (!rest.empty()) {
        Bytes chunk;
        const auto progress = stepwise.FeedToEnd(rest, chunk);
        Check(progress.consumed > 0 && progress.consumed <= rest.size(), "progress");
        rest = rest.subspan(progress.consumed);
        joined.insert(joined.end(), chunk.begin(), chunk.end());
        if (progress.ended) {
            Bytes again, back;
            HuffmanCompressor().Feed(chunk, again);
            Check(again.size() <= HuffmanCompressor::MaxCompressedSize(chunk.size()), "worst case size");
            HuffmanDecompressor().Feed(again, back);
            Check(back == chunk, "a packet survives compression");
        }
    }
    Check(joined == decoded, "stopping at end codes loses nothing");

    CheckCutting(lengths, decoded, piece);
    CheckCutting(lengths, input, piece);
    return 0;
}
