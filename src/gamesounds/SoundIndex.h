#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Where one sound's entry lies in its data file: a 40-byte header, then 16-bit mono PCM.
struct SoundLocation {
    std::uint64_t offset = 0; // of the stored bytes
    std::uint32_t stored = 0; // bytes in the file; 0: the sound has no data
    std::uint32_t length = 0; // bytes of the entry once inflated (== stored unless zlib)
    bool zlib = false;

    bool Empty() const { return stored == 0; }
    bool operator==(const SoundLocation&) const = default;
};

inline constexpr std::uint32_t kSoundHeaderBytes = 40;
// Ten seconds of sound are 441,000 bytes: anything over this is a broken entry, not a sound.
inline constexpr std::uint32_t kMaxSoundEntryBytes = 16u << 20;
// Sound ids are 16-bit and 0xFFFF is never played: ids 0 to 0xFFFE.
inline constexpr std::size_t kMaxSoundIds = 0xFFFF;

// A sound index as read from either file form: entry i is sound id i. Entries that cannot be
// used (past the end of the data, shorter than the header, too large, an unknown compression)
// are left empty and counted; `problem` says what was wrong with the file, once.
struct SoundIndex {
    std::vector<SoundLocation> entries;
    std::size_t unusable = 0;
    std::string problem;
};
