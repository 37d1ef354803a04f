#pragma once

#include <cstdint>
#include <span>
#include <string>

// What is known of one sound of the game's files without its samples: the name from its 40-byte
// header and its length. The samples are signed 16-bit mono at 22,050 Hz; GameSoundFolder reads
// them when asked. A default GameSound is a sound without data: no name, nothing to hear.
class GameSound {
public:
    static constexpr std::uint32_t kSampleRate = 22050;

    GameSound() = default;
    // From the header's bytes (at most 40 are looked at) and the entry's length in bytes, header
    // included. An entry shorter than the header is a sound without data.
    GameSound(std::span<const std::uint8_t> header, std::uint32_t entryBytes);

    bool HasData() const { return m_hasData; }
    // Printable ASCII only; empty when the sound has no data (or its header names nothing).
    const std::string& Name() const { return m_name; }
    std::uint32_t SampleCount() const { return m_samples; }
    double Seconds() const { return double(m_samples) / kSampleRate; }
    // Something to hear: a header alone is not.
    bool Audible() const { return m_samples > 0; }
    // "name (2.1 s)"; empty for a sound without data.
    std::string Description() const;

    // The header's name: the bytes before the first NUL (all 40 when there is none), each byte
    // outside 0x20..0x7E replaced by '?', so it is safe to show (never use it as a path).
    static std::string NameFromHeader(std::span<const std::uint8_t> header);
    // Samples in an entry of `entryBytes` bytes: an odd last byte is dropped.
    static std::uint32_t SamplesIn(std::uint32_t entryBytes);

    bool operator==(const GameSound&) const = default;

private:
    std::string m_name;
    std::uint32_t m_samples = 0;
    bool m_hasData = false;
};
