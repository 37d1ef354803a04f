// Any bytes as a sound index (both file forms), as Sound.def, and as a sound's header: every
// entry handed out must lie inside the data it claims, and nothing may crash or run away.
#include "ByteSource.h"
#include "GameSound.h"
#include "MulSoundIndex.h"
#include "SoundDefinitions.h"
#include "UopSoundIndex.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string_view>

namespace {

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

void CheckEntries(const SoundIndex& index, std::uint64_t dataSize) {
    Check(index.entries.size() <= kMaxSoundIds, "no more ids than a 16-bit number holds");
    std::size_t usable = 0;
    for (const auto& e : index.entries) {
        if (e.Empty())
            continue;
        ++usable;
        Check(e.offset <= dataSize && e.stored <= dataSize - e.offset, "an entry lies inside its file");
        Check(e.length >= kSoundHeaderBytes && e.length <= kMaxSoundEntryBytes, "an entry has a sane length");
        Check(e.zlib || e.length == e.stored, "an uncompressed entry's length is what is stored");
    }
    Check(index.unusable == 0 || !index.problem.empty(), "unusable entries are reported");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::span<const std::uint8_t> rest(data + 1, size - 1);
    switch (data[0] % 4) {
    case 0: { // soundidx.mul, with a sound.mul of the size given by its first two bytes (scaled)
        if (rest.size() < 2)
            return 0;
        const std::uint64_t dataSize = std::uint64_t(Le16(rest.data())) * 64;
        const auto index = ReadMulSoundIndex(MemoryBytes(rest.subspan(2)), dataSize);
        CheckEntries(index, dataSize);
        break;
    }
    case 1: { // soundLegacyMUL.uop
        const auto index = ReadUopSoundIndex(MemoryBytes(rest));
        CheckEntries(index, rest.size());
        break;
    }
    case 2: { // Sound.def over an index whose even ids have data
        std::vector<SoundLocation> entries(300);
        for (std::size_t i = 0; i < entries.size(); i += 2)
            entries[i] = {i, 100, 100, false};
        const std::string_view text(reinterpret_cast<const char*>(rest.data()), rest.size());
        const std::size_t given = ApplySoundDefinitions(text, entries);
        Check(given <= 150, "only ids without data are given some");
        for (std::size_t i = 0; i < entries.size(); i += 2)
            Check(entries[i] == SoundLocation{i, 100, 100, false}, "an id with data keeps it");
        for (std::size_t i = 1; i < entries.size(); i += 2)
            Check(entries[i].Empty() || entries[i].offset % 2 == 0, "an id is given another id's data");
        break;
    }
    default: { // a header, with the entry length in its first four bytes
        if (rest.size() < 4)
            return 0;
        const GameSound sound(rest.subspan(4), Le32(rest.data()));
        for (const char c : sound.Name())
            Check(c >= 0x20 && c <= 0x7E, "a name is printable ASCII");
        Check(sound.Name().size() <= kSoundHeaderBytes, "a name fits its field");
        Check(!sound.Audible() || sound.HasData(), "only a sound with data is heard");
        break;
    }
    }
    return 0;
}
