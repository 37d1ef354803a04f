#pragma once

#include "LoginPackets.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

// Reads the first bytes a game client sends on a new connection: whether it is a login
// connection (a seed, raw or 0xEF with the client version, then 0x80) or a game connection (the
// key of a 0x8C, then 0x91), and whether the client sends its login in plain text. What it holds
// of the login packet is wiped once it has looked.
class ClientOpening {
public:
    enum class Kind { Undecided, Login, Game };
    // Whether a key was handed out in a 0x8C; true in `encrypted` when its login was encrypted.
    using KeyLookup = std::function<bool(std::uint32_t key, bool& encrypted)>;

    // At the relay's game port every connection is a game connection.
    ClientOpening(bool atGamePort, KeyLookup lookup);
    ~ClientOpening();
    ClientOpening(const ClientOpening&) = delete;
    ClientOpening& operator=(const ClientOpening&) = delete;

    // Feeds the connection's next bytes (the caller passes them on as it likes).
    void Feed(std::span<const std::uint8_t> bytes);

    // Known once the first 4 or 5 bytes are in: where the connection must go.
    Kind Which() const { return m_kind; }
    std::uint32_t Key() const { return m_key; }
    // From a 0xEF seed; none for a raw seed and for game connections.
    const std::optional<ClientVersion>& Version() const { return m_version; }
    // Once the login packet has been looked at.
    bool Done() const { return m_done; }
    bool Plain() const { return m_plain; }

private:
    void Decide();

    const bool m_atGamePort;
    const KeyLookup m_lookup;
    std::array<std::uint8_t, kSeedPacketLength + kAccountLoginLength> m_head{};
    std::size_t m_have = 0;
    Kind m_kind = Kind::Undecided;
    std::uint32_t m_key = 0;
    bool m_keyEncrypted = false;
    std::optional<ClientVersion> m_version;
    bool m_done = false;
    bool m_plain = false;
};
