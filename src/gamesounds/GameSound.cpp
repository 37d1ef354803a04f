#include "GameSound.h"

#include "SoundIndex.h"

#include <algorithm>
#include <cstdio>

GameSound::GameSound(std::span<const std::uint8_t> header, std::uint32_t entryBytes) {
    if (entryBytes < kSoundHeaderBytes || header.size() < kSoundHeaderBytes)
        return;
    m_hasData = true;
    m_name = NameFromHeader(header);
    m_samples = SamplesIn(entryBytes);
}

std::string GameSound::Description() const {
    if (!m_hasData)
        return {};
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s", Seconds());
    return (m_name.empty() ? std::string("(no name)") : m_name) + " (" + seconds + ")";
}

std::string GameSound::NameFromHeader(std::span<const std::uint8_t> header) {
    header = header.first(std::min<std::size_t>(header.size(), kSoundHeaderBytes));
    std::string name;
    for (const std::uint8_t byte : header) {
        if (byte == 0)
            break;
        name += byte >= 0x20 && byte <= 0x7E ? static_cast<char>(byte) : '?';
    }
    return name;
}

std::uint32_t GameSound::SamplesIn(std::uint32_t entryBytes) {
    return entryBytes < kSoundHeaderBytes ? 0 : (entryBytes - kSoundHeaderBytes) / 2;
}
