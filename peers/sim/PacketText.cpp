#include "PacketText.h"

#include "GamePacket.h"

#include <cstdio>

static constexpr std::size_t kHexShown = 32;

static std::string Hex8(std::uint8_t v) {
    char text[4];
    std::snprintf(text, sizeof text, "%02x", v);
    return text;
}

static std::string Position(const GamePlace& place) {
    // z is a signed height in the game, carried as one byte.
    return std::to_string(place.x) + "," + std::to_string(place.y) + "," +
           std::to_string(static_cast<std::int8_t>(place.z));
}

static void AppendUtf8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

static void AppendEscaped(std::string& out, std::uint32_t c) {
    if (c == '"' || c == '\\') {
        out += '\\';
        out += static_cast<char>(c);
    } else if (c == '\n') {
        out += "\\n";
    } else if (c < 0x20 || c == 0x7F) {
        out += "\\x" + Hex8(static_cast<std::uint8_t>(c));
    } else {
        AppendUtf8(out, c);
    }
}

static std::string HexBytes(PacketView packet) {
    std::string out = "packet";
    const std::size_t shown = packet.size() <= kHexShown ? packet.size() : kHexShown;
    for (std::size_t i = 0; i < shown; ++i)
        out += " " + Hex8(packet[i]);
    if (shown < packet.size())
        out += " ...";
    out += " (" + std::to_string(packet.size()) + (packet.size() == 1 ? " byte)" : " bytes)");
    return out;
}

std::string Utf16BeToQuotedUtf8(std::span<const std::uint8_t> units) {
    std::string out = "\"";
    for (std::size_t i = 0; i + 1 < units.size(); i += 2) {
        std::uint32_t c = *PeekBe16(units, i);
        if (c == 0)
            break;
        if (c >= 0xD800 && c <= 0xDBFF) {
            const auto low = PeekBe16(units, i + 2);
            if (low && *low >= 0xDC00 && *low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (*low - 0xDC00);
                i += 2;
            } else {
                c = 0xFFFD;
            }
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        AppendEscaped(out, c);
    }
    return out + "\"";
}

std::string DescribePacket(std::span<const std::uint8_t> packet) {
    if (packet.empty())
        return "empty packet";
    char number[8];
    switch (packet[0]) {
    case 0x54:
        if (packet.size() < kSoundPacketLength)
            break;
        std::snprintf(number, sizeof number, "0x%04x", *SoundNumberOf(packet));
        return std::string("sound ") + number + " at " + Position(*SoundPlaceOf(packet));
    case 0x20:
        if (packet.size() < kPlayerPacketLength)
            break;
        return "player at " + Position(*PlayerPlaceOf(packet));
    case 0xAE: {
        // The text ends at a zero unit, or at the packet's own size field, whichever comes first.
        if (packet.size() < 48)
            break;
        const std::size_t size = *PeekBe16(packet, 1);
        const std::size_t end = size < packet.size() ? size : packet.size();
        if (end < 48)
            break;
        return "message " + Utf16BeToQuotedUtf8(packet.subspan(48, end - 48));
    }
    default:
        break;
    }
    return HexBytes(packet);
}

std::string DescribeEvent(std::int32_t code, std::span<const std::uint8_t> packet) {
    if (code == kEventFromServer)
        return DescribePacket(packet);
    return "event " + std::to_string(code) + ": " + DescribePacket(packet);
}
