#include "ClientOpening.h"

#include "GamePacket.h"

#include <algorithm>
#include <cstring>

ClientOpening::ClientOpening(bool atGamePort, KeyLookup lookup)
    : m_atGamePort(atGamePort), m_lookup(std::move(lookup)) {}

ClientOpening::~ClientOpening() {
    explicit_bzero(m_head.data(), m_head.size());
}

void ClientOpening::Feed(std::span<const std::uint8_t> bytes) {
    if (m_done)
        return;
    const std::size_t take = std::min(bytes.size(), m_head.size() - m_have);
    std::copy_n(bytes.begin(), take, m_head.begin() + static_cast<std::ptrdiff_t>(m_have));
    m_have += take;
    Decide();
    if (m_done)
        explicit_bzero(m_head.data(), m_head.size());
}

void ClientOpening::Decide() {
    const std::span<const std::uint8_t> head(m_head.data(), m_have);
    if (m_kind == Kind::Undecided) {
        if (m_have < kKeyLength)
            return;
        m_key = *PeekBe32(head, 0);
        const bool known = m_lookup && m_lookup(m_key, m_keyEncrypted);
        if (m_atGamePort) {
            m_kind = Kind::Game;
        } else if (known) {
            if (m_have < kKeyLength + 1)
                return;
            // An encrypted client's 0x91 cannot be read, but its key can.
            m_kind = head[kKeyLength] == kGameLoginId || m_keyEncrypted ? Kind::Game : Kind::Login;
        } else {
            m_kind = Kind::Login;
        }
    }
    std::size_t loginAt = kKeyLength;
    std::size_t loginLength = kGameLoginLength;
    std::uint8_t loginId = kGameLoginId;
    if (m_kind == Kind::Login) {
        if (head[0] == kSeedPacketId) {
            if (m_have < kSeedPacketLength)
                return;
            m_version = SeedPacketVersion(head.first(kSeedPacketLength));
            loginAt = kSeedPacketLength;
        }
        loginLength = kAccountLoginLength;
        loginId = kAccountLoginId;
    }
    if (m_have <= loginAt)
        return;
    if (head[loginAt] != loginId) {
        m_done = true;
        m_plain = false;
        return;
    }
    if (m_have < loginAt + loginLength)
        return;
    m_plain = LooksLikePlainLogin(head.subspan(loginAt, loginLength));
    m_done = true;
}
