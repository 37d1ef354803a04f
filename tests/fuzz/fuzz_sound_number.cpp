// Any bytes as a typed or stored number and as text in each code page.
#include "CodePage.h"
#include "SoundNumber.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// The reading rule, written out plainly.
std::int32_t ModelParse(std::string_view text) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && text[i] == '-') {
        negative = true;
        ++i;
    }
    if (text.size() - i >= 2 && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        i += 2;
    }
    std::uint32_t value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        std::uint32_t digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<std::uint32_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<std::uint32_t>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<std::uint32_t>(c - 'A' + 10);
        } else {
            break;
        }
        value = value * 16u + digit;
    }
    return static_cast<std::int32_t>(negative ? 0u - value : value);
}

bool ValidUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        std::uint32_t code = 0;
        if (byte == 0) {
            return false; // a converted text never holds a zero
        } else if (byte < 0x80) {
            length = 1;
            code = byte;
        } else if ((byte & 0xE0) == 0xC0) {
            length = 2;
            code = byte & 0x1Fu;
        } else if ((byte & 0xF0) == 0xE0) {
            length = 3;
            code = byte & 0x0Fu;
        } else if ((byte & 0xF8) == 0xF0) {
            length = 4;
            code = byte & 0x07u;
        } else {
            return false;
        }
        if (i + length > text.size()) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            code = code << 6 | (next & 0x3Fu);
        }
        static constexpr std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const std::int32_t parsed = ParseSoundNumber(text);
    Check(parsed == ModelParse(text), "ParseSoundNumber follows the rule");
    const auto number = static_cast<std::uint16_t>(parsed);
    const std::string formatted = FormatSoundNumber(number);
    Check(formatted.size() == 4 && formatted.find_first_not_of("0123456789abcdef") == std::string::npos,
          "four lower-case digits");
    Check(ParseSoundNumber(formatted) == number && ParseSoundNumber("0x" + formatted) == number,
          "a formatted number reads back");

    const std::string_view untilZero = text.substr(0, text.find('\0'));
    const std::string terminated(untilZero);
    for (const std::string codePage : {"UTF-8", "CP932"}) {
        const std::string utf8 = AnsiToUtf8(text, codePage);
        Check(ValidUtf8(utf8), "AnsiToUtf8 gives UTF-8");
        const std::string ansi = Utf8ToAnsi(terminated.c_str(), codePage);
        Check(ansi.find('\0') == std::string::npos, "Utf8ToAnsi gives no zero");
        if (codePage == "UTF-8") {
            Check(ValidUtf8(ansi), "Utf8ToAnsi to UTF-8 gives UTF-8");
            if (ValidUtf8(untilZero)) {
                Check(utf8 == untilZero && ansi == untilZero, "valid UTF-8 passes unchanged");
            }
        }
        // Once converted, a text goes through a save and a load unchanged.
        Check(Utf8ToAnsi(AnsiToUtf8(ansi, codePage).c_str(), codePage) == ansi, "converted text is stable");
        const std::u16string wide = AnsiToUtf16(text, codePage);
        Check(wide.find(u'\0') == std::u16string::npos, "AnsiToUtf16 gives no zero");
        std::u16string units(size / 2, u'\0');
        for (std::size_t k = 0; k < units.size(); ++k) {
            units[k] = static_cast<char16_t>(data[2 * k] | data[2 * k + 1] << 8);
        }
        Check(Utf16ToAnsi(units, codePage).find('\0') == std::string::npos, "Utf16ToAnsi gives no zero");
    }
    return 0;
}
