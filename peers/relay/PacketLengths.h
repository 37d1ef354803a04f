#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// A game client's version as its 0xEF seed packet gives it: major, minor, revision, patch.
struct ClientVersion {
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    std::uint32_t revision = 0;
    std::uint32_t patch = 0;

    auto operator<=>(const ClientVersion&) const = default;
    std::string Text() const;
    // "7.0.104.2" or "5.0.9" (patch 0); none for anything else.
    static std::optional<ClientVersion> Parse(std::string_view text);
};

// How long each packet id is, for one client version. A few ids changed length over the years;
// shards add ids of their own, which a table may not know.
class PacketLengths {
public:
    static constexpr std::uint16_t kVariable = 0;

    // Current clients (7.0.104 and later).
    PacketLengths();
    static PacketLengths ForVersion(const ClientVersion& version);

    // The id's length, kVariable when a 16-bit total length follows the id; none when unknown.
    std::optional<std::uint16_t> Length(std::uint8_t id) const;
    void Set(std::uint8_t id, std::uint16_t length);
    void Forget(std::uint8_t id);

private:
    static constexpr std::int32_t kUnknown = -1;
    std::array<std::int32_t, 256> m_lengths;
};
