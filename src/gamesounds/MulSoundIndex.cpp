#include "MulSoundIndex.h"

#include <algorithm>

SoundIndex ReadMulSoundIndex(const ByteSource& index, std::uint64_t dataSize) {
    constexpr std::size_t kRecord = 12;
    SoundIndex result;
    const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(index.Size() / kRecord, kMaxSoundIds));
    std::vector<std::uint8_t> records(count * kRecord);
    if (!index.ReadAt(0, records)) {
        result.problem = "the sound index cannot be read";
        return result;
    }
    result.entries.resize(count);
    std::size_t pastEnd = 0, tooShort = 0, tooLong = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* record = records.data() + i * kRecord;
        const std::uint32_t offset = Le32(record);
        const auto length = static_cast<std::int32_t>(Le32(record + 4));
        if (offset == 0xFFFFFFFFu || length <= 0)
            continue; // no sound here: the file's own way of saying so
        const auto bytes = static_cast<std::uint32_t>(length);
        if (bytes < kSoundHeaderBytes)
            ++tooShort;
        else if (bytes > kMaxSoundEntryBytes)
            ++tooLong;
        else if (std::uint64_t{offset} + bytes > dataSize)
            ++pastEnd;
        else
            result.entries[i] = {offset, bytes, bytes, false};
    }
    result.unusable = pastEnd + tooShort + tooLong;
    if (result.unusable > 0) {
        result.problem = std::to_string(result.unusable) + " of its entries cannot be used (";
        std::string why;
        auto add = [&](std::size_t n, const char* text) {
            if (n > 0)
                why += (why.empty() ? "" : ", ") + std::to_string(n) + " " + text;
        };
        add(pastEnd, "past the end of the sound data");
        add(tooShort, "shorter than the 40-byte header");
        add(tooLong, "over 16 MiB");
        result.problem += why + ")";
    }
    return result;
}
