#pragma once

#include "PacketLengths.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// What the relay reads of the packets that open a session. The account name and password are
// looked at here only to tell plain text from an encrypted stream; they are never copied.

inline constexpr std::uint8_t kSeedPacketId = 0xEF;
inline constexpr std::size_t kSeedPacketLength = 21;
inline constexpr std::size_t kRawSeedLength = 4;
inline constexpr std::uint8_t kAccountLoginId = 0x80;
inline constexpr std::size_t kAccountLoginLength = 62;
inline constexpr std::uint8_t kGameLoginId = 0x91;
inline constexpr std::size_t kGameLoginLength = 65;
inline constexpr std::uint8_t kRedirectId = 0x8C;
inline constexpr std::size_t kRedirectLength = 11;
inline constexpr std::size_t kKeyLength = 4;

// The client version of a whole 0xEF seed packet.
std::optional<ClientVersion> SeedPacketVersion(std::span<const std::uint8_t> packet);

// Whether a whole 0x80 (account login) or 0x91 (game login) packet holds its account name and
// password as plain zero-padded text, as an unencrypted client sends them.
bool LooksLikePlainLogin(std::span<const std::uint8_t> packet);

// A 0x8C redirect: where the client is sent for its game connection, and the key it brings.
struct Redirect {
    std::array<std::uint8_t, 4> address{}; // a.b.c.d
    std::uint16_t port = 0;
    std::uint32_t key = 0;
};
std::optional<Redirect> ReadRedirect(std::span<const std::uint8_t> packet);
// Points a whole 0x8C packet at another address and port; the key stays.
void PointRedirect(std::span<std::uint8_t> packet, const std::array<std::uint8_t, 4>& address, std::uint16_t port);

// Overwrites bytes that held a login (the memory may be reused by anything later).
void Wipe(std::vector<std::uint8_t>& bytes);
