#include "UopSoundIndex.h"

#include "UopHash.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

namespace {

constexpr std::uint32_t kMagic = 0x0050594D; // "MYP\0"
constexpr std::size_t kHeaderBytes = 28;
constexpr std::size_t kBlockHeaderBytes = 12;
constexpr std::size_t kEntryBytes = 34;
// A real sound package holds a few thousand entries; blocks that overlap could repeat them without end.
constexpr std::uint64_t kMaxEntries = 1u << 20;
constexpr std::size_t kMaxBlocks = 1u << 16;

struct PackedEntry {
    std::uint64_t offset;
    std::uint32_t headerLength;
    std::uint32_t stored;
    std::uint32_t length;
    std::uint16_t compression;
};

void AddProblem(std::string& problem, const std::string& text) {
    problem += (problem.empty() ? "" : "; ") + text;
}

} // namespace

SoundIndex ReadUopSoundIndex(const ByteSource& package) {
    SoundIndex result;
    std::uint8_t header[kHeaderBytes];
    if (!package.ReadAt(0, header)) {
        result.problem = "too short for a package header";
        return result;
    }
    if (Le32(header) != kMagic) {
        result.problem = "not a package (no MYP signature)";
        return result;
    }
    const std::uint64_t size = package.Size();
    std::unordered_map<std::uint64_t, PackedEntry> byHash;
    std::unordered_set<std::uint64_t> visited;
    std::vector<std::uint8_t> table;
    const std::uint64_t entryLimit = std::min<std::uint64_t>(size / kEntryBytes, kMaxEntries);
    std::uint64_t entriesRead = 0;
    for (std::uint64_t block = Le64(header + 12); block != 0;) {
        if (visited.size() >= kMaxBlocks) {
            AddProblem(result.problem, "its block chain has more than " + std::to_string(kMaxBlocks) + " blocks");
            break;
        }
        if (!visited.insert(block).second) {
            AddProblem(result.problem, "its block chain loops at offset " + std::to_string(block));
            break;
        }
        std::uint8_t blockHeader[kBlockHeaderBytes];
        if (!package.ReadAt(block, blockHeader)) {
            AddProblem(result.problem, "a block at offset " + std::to_string(block) + " lies past the end of the file");
            break;
        }
        const auto count = static_cast<std::int32_t>(Le32(blockHeader));
        const std::uint64_t next = Le64(blockHeader + 4);
        // Every entry is in the file, so the count can never exceed what the file holds.
        if (count < 0 || entriesRead + std::uint64_t(count) > entryLimit) {
            AddProblem(result.problem, "a block at offset " + std::to_string(block) + " claims " +
                                           std::to_string(count) + " entries, more than the file can hold");
            break;
        }
        entriesRead += std::uint64_t(count);
        table.resize(std::size_t(count) * kEntryBytes);
        if (!package.ReadAt(block + kBlockHeaderBytes, table)) {
            AddProblem(result.problem, "the file ends inside the block at offset " + std::to_string(block));
            break;
        }
        for (std::int32_t i = 0; i < count; ++i) {
            const std::uint8_t* e = table.data() + std::size_t(i) * kEntryBytes;
            const PackedEntry entry{Le64(e), Le32(e + 8), Le32(e + 12), Le32(e + 16), Le16(e + 32)};
            if (entry.offset == 0)
                continue; // an unused slot
            byHash.emplace(Le64(e + 20), entry);
        }
        block = next;
    }

    result.entries.resize(kMaxSoundIds);
    std::size_t pastEnd = 0, badSize = 0, badCompression = 0;
    for (std::uint32_t id = 0; id < kMaxSoundIds; ++id) {
        const auto found = byHash.find(UopHash(UopSoundEntryName(id)));
        if (found == byHash.end())
            continue;
        const PackedEntry& e = found->second;
        const std::uint32_t length = e.compression == 1 ? e.length : e.stored;
        if (e.compression != 0 && e.compression != 1) {
            ++badCompression;
        } else if (e.stored == 0 || length == 0) {
            continue; // an entry without data, as an empty index record
        } else if (length < kSoundHeaderBytes || length > kMaxSoundEntryBytes || e.stored > kMaxSoundEntryBytes ||
                   e.headerLength > kMaxSoundEntryBytes) {
            ++badSize;
        } else if (e.offset > size || e.headerLength + std::uint64_t{e.stored} > size - e.offset) {
            ++pastEnd;
        } else {
            result.entries[id] = {e.offset + e.headerLength, e.stored, length, e.compression == 1};
        }
    }
    result.unusable = pastEnd + badSize + badCompression;
    if (pastEnd > 0)
        AddProblem(result.problem, std::to_string(pastEnd) + " sound entries lie past the end of the file");
    if (badSize > 0)
        AddProblem(result.problem,
                   std::to_string(badSize) + " sound entries are shorter than their header or over 16 MiB");
    if (badCompression > 0)
        AddProblem(result.problem, std::to_string(badCompression) + " sound entries use an unknown compression");
    return result;
}
