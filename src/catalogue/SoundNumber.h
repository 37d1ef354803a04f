#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Four lower-case hexadecimal digits, no prefix: 0x01F4 -> "01f4".
std::string FormatSoundNumber(std::uint16_t number);

// Reads a typed or stored number: always hexadecimal, one optional leading "-", then an optional
// "0x"/"0X"; digits are read until the first byte that is not one (every byte >= 0x80 ends it).
// Wraps in 32-bit two's complement, so of more than eight digits only the last eight count.
// Never fails: no digit gives 0. Callers keep the low 16 bits.
std::int32_t ParseSoundNumber(std::string_view text);
