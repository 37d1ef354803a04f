#pragma once

#include <cstdint>
#include <span>
#include <string>

// How kestrune-sim shows a packet on one line: the packets it knows (0x54 sound, 0x20 player,
// 0xAE system message) decoded, anything else as hexadecimal bytes.
std::string DescribePacket(std::span<const std::uint8_t> packet);

// An event as a verdict line names it: the packet alone for code 1424 (from the server), else
// "event CODE: " before it.
std::string DescribeEvent(std::int32_t code, std::span<const std::uint8_t> packet);

// Big-endian UTF-16 units up to the first zero unit (or the end) as UTF-8, with quotes,
// backslashes and control characters escaped so the text stays on one line. A lone surrogate
// becomes U+FFFD; an odd last byte is ignored.
std::string Utf16BeToQuotedUtf8(std::span<const std::uint8_t> units);
