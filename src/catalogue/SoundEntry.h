#pragma once

#include <cstdint>
#include <string>

// One catalogue record. `comment` is a narrow string in the system code page and may hold CR LF.
struct SoundEntry {
    std::uint16_t number = 0; // 0x0001..0xFFFE once stored
    bool mute = false;
    std::string comment;

    friend bool operator==(const SoundEntry&, const SoundEntry&) = default;
};
