#include "PacketLengths.h"

#include "ProtocolTables.h"

#include <charconv>

namespace {

// Ids whose length changed with the client version: `length` from `since` on, `before` earlier.
struct LengthChange {
    ClientVersion since;
    std::uint8_t id;
    std::uint16_t length;
    std::uint16_t before;
};

constexpr std::uint16_t kVar = PacketLengths::kVariable;

// 5.0.0a is the first release of 5.0.0, so it counts as 5.0.0.0.
constexpr LengthChange kLengthChanges[] = {
    {{5, 0, 0, 0}, 0x0B, 7, 0x10A},  {{5, 0, 0, 0}, 0x16, kVar, 1},    {{5, 0, 0, 0}, 0x31, kVar, 1},
    {{5, 0, 9, 0}, 0xE1, kVar, 9},   {{6, 0, 1, 3}, 0xE3, kVar, 0x4D}, {{6, 0, 1, 3}, 0xE6, 5, kVar},
    {{6, 0, 1, 3}, 0xE7, 12, kVar},  {{6, 0, 1, 3}, 0xE8, 13, kVar},   {{6, 0, 1, 3}, 0xE9, 0x4B, kVar},
    {{6, 0, 1, 3}, 0xEA, 3, kVar},   {{6, 0, 1, 7}, 0x08, 15, 14},     {{6, 0, 1, 7}, 0x25, 21, 20},
    {{6, 0, 14, 2}, 0xB9, 5, 3},     {{7, 0, 0, 0}, 0xEE, 10, kVar},   {{7, 0, 9, 0}, 0x24, 9, 7},
    {{7, 0, 9, 0}, 0x99, 30, 26},    {{7, 0, 9, 0}, 0xBA, 10, 6},      {{7, 0, 9, 0}, 0xF3, 26, 24},
    {{7, 0, 9, 0}, 0xF1, 9, kVar},   {{7, 0, 9, 0}, 0xF2, 25, kVar},   {{7, 0, 18, 0}, 0x00, 106, 104},
    {{7, 0, 64, 0}, 0xFA, 1, kVar},  {{7, 0, 64, 0}, 0xFB, 2, kVar},   {{7, 0, 104, 0}, 0xD5, 9, kVar},
    {{7, 0, 104, 0}, 0xFD, 2, kVar},
};

} // namespace

std::string ClientVersion::Text() const {
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(revision) + "." +
           std::to_string(patch);
}

std::optional<ClientVersion> ClientVersion::Parse(std::string_view text) {
    std::uint32_t parts[4] = {0, 0, 0, 0};
    std::size_t count = 0;
    const char* at = text.data();
    const char* const end = text.data() + text.size();
    while (count < 4) {
        const auto [next, error] = std::from_chars(at, end, parts[count]);
        if (error != std::errc() || next == at)
            return std::nullopt;
        ++count;
        at = next;
        if (at == end)
            break;
        if (*at != '.')
            return std::nullopt;
        ++at;
    }
    if (at != end || count < 3)
        return std::nullopt;
    return ClientVersion{parts[0], parts[1], parts[2], parts[3]};
}

PacketLengths::PacketLengths() {
    for (std::size_t id = 0; id < m_lengths.size(); ++id)
        m_lengths[id] = kCurrentPacketLengths[id];
}

PacketLengths PacketLengths::ForVersion(const ClientVersion& version) {
    PacketLengths lengths;
    for (const auto& change : kLengthChanges)
        lengths.Set(change.id, version < change.since ? change.before : change.length);
    return lengths;
}

std::optional<std::uint16_t> PacketLengths::Length(std::uint8_t id) const {
    if (m_lengths[id] == kUnknown)
        return std::nullopt;
    return static_cast<std::uint16_t>(m_lengths[id]);
}

void PacketLengths::Set(std::uint8_t id, std::uint16_t length) {
    m_lengths[id] = length;
}

void PacketLengths::Forget(std::uint8_t id) {
    m_lengths[id] = kUnknown;
}
