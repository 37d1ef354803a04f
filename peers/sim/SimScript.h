#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One line of a kestrune-sim script.
//   player X Y Z    a 0x20 packet (X, Y 0..65535, Z -128..255, decimal)
//   sound N         a 0x54 packet for sound N (hexadecimal, optional 0x) at the last player position
//   raw CODE HEX..  any event: decimal code, then the packet as hexadecimal bytes (may be none)
//   wait MS         a pause of MS milliseconds, serving the connection meanwhile
// '#' starts a comment; blank lines are skipped.
struct SimCommand {
    enum class Kind { Player, Sound, Raw, Wait };
    Kind kind = Kind::Wait;
    std::uint16_t x = 0;
    std::uint16_t y = 0;
    std::uint8_t z = 0;
    std::uint16_t sound = 0;
    std::int32_t code = 0;
    std::vector<std::uint8_t> bytes;
    std::uint32_t waitMs = 0;
};

enum class ScriptLine { Command, Nothing, Error };

// A comment or blank line gives Nothing; a bad line gives Error with the reason in `error`.
ScriptLine ParseScriptLine(std::string_view line, SimCommand& command, std::string& error);

// Decimal `text` (an optional "-", no "+") within min..max; false when it is not.
bool ParseDecimal(std::string_view text, long long min, long long max, long long& value);
