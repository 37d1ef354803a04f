#include "SoundNumber.h"

std::string FormatSoundNumber(std::uint16_t number) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text(4, '0');
    for (int i = 3; i >= 0; --i) {
        text[static_cast<std::size_t>(i)] = digits[number & 0xF];
        number = static_cast<std::uint16_t>(number >> 4);
    }
    return text;
}

// -1 for anything but 0-9 and (already upper-cased) A-F; bytes >= 0x80 included.
static int HexDigitValue(unsigned char byte) {
    if (byte >= '0' && byte <= '9') {
        return byte - '0';
    }
    if (byte >= 'A' && byte <= 'F') {
        return byte - 'A' + 10;
    }
    return -1;
}

static unsigned char AsciiUpper(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte >= 'a' && byte <= 'z') ? static_cast<unsigned char>(byte - 'a' + 'A') : byte;
}

std::int32_t ParseSoundNumber(std::string_view text) {
    bool negative = false;
    if (!text.empty() && text.front() == '-') {
        negative = true;
        text.remove_prefix(1);
    }
    if (text.size() >= 2 && text[0] == '0' && AsciiUpper(text[1]) == 'X') {
        text.remove_prefix(2);
    }
    // Unsigned arithmetic gives the 32-bit wrap-around without signed overflow.
    std::uint32_t value = 0;
    for (const char c : text) {
        const int digit = HexDigitValue(AsciiUpper(c));
        if (digit < 0) {
            break;
        }
        value = value * 16u + static_cast<std::uint32_t>(digit);
    }
    if (negative) {
        value = 0u - value;
    }
    return static_cast<std::int32_t>(value); // modular since C++20
}
