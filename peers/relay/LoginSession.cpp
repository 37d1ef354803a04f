#include "LoginSession.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>

LoginSession::LoginSession(SessionHost& host, int clientFd, std::string name, std::unique_ptr<ClientOpening> opening,
                           std::array<std::uint8_t, 4> relayAddress, std::uint16_t gamePort,
                           const sockaddr_storage& shard, socklen_t shardLength)
    : RelayedConnection(host, clientFd, std::move(name)), m_opening(std::move(opening)), m_relayAddress(relayAddress),
      m_gamePort(gamePort), m_shard(shard) {
    Connect(shard, shardLength, std::chrono::seconds(10));
}

void LoginSession::Begin(std::span<const std::uint8_t> opening) {
    // The opening has read these bytes already: fed twice, a login split over two reads would
    // look like nonsense, that is, encrypted.
    TellIfEncrypted();
    ToServer(opening);
    Settle();
}

void LoginSession::FromClient(std::span<const std::uint8_t> bytes) {
    if (!m_opening->Done()) {
        m_opening->Feed(bytes);
        TellIfEncrypted();
    }
    ToServer(bytes);
}

void LoginSession::TellIfEncrypted() {
    if (m_opening->Done() && !m_opening->Plain() && !m_toldEncrypted) {
        m_toldEncrypted = true;
        m_host.Say(Name() + ": the game client encrypts its connection, so Kestrune cannot hear this game. "
                            "Switch the client's encryption off (ClassicUO: \"encryption\": 0 in settings.json); "
                            "until then the game passes through untouched");
    }
}

void LoginSession::FromServer(std::span<const std::uint8_t> bytes) {
    m_serverBytesAt = Clock::now();
    if (!m_rewriter)
        m_rewriter.emplace(m_host.LengthsFor(m_opening->Version()), m_relayAddress, m_gamePort);
    m_out.clear();
    m_found.clear();
    m_rewriter->Feed(bytes, m_out, m_found);
    ToClient(m_out);
    for (const auto& redirect : m_found) {
        GameServer server;
        // 0.0.0.0 sends the client back to the address it logged in at: the shard's own host.
        const bool sameHost = redirect.address == std::array<std::uint8_t, 4>{0, 0, 0, 0};
        if (sameHost) {
            server.address = m_shard;
            server.length = m_shard.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
            if (m_shard.ss_family == AF_INET6)
                reinterpret_cast<sockaddr_in6&>(server.address).sin6_port = htons(redirect.port);
            else
                reinterpret_cast<sockaddr_in&>(server.address).sin_port = htons(redirect.port);
        } else {
            auto& v4 = reinterpret_cast<sockaddr_in&>(server.address);
            v4.sin_family = AF_INET;
            std::memcpy(&v4.sin_addr, redirect.address.data(), 4);
            v4.sin_port = htons(redirect.port);
            server.length = sizeof(sockaddr_in);
        }
        if (m_host.IsRelayItself(server.address)) {
            m_host.Say(Name() + ": the shard sends the client to " + AddressText(server.address) +
                       ", which is this relay itself; refused, so the client does not go round for ever");
            continue;
        }
        server.version = m_opening->Version();
        server.encrypted = m_opening->Done() && !m_opening->Plain();
        m_host.RememberRedirect(redirect.key, server);
        m_redirected = true;
        m_host.Say(Name() + ": the shard sends the client to " + AddressText(server.address) +
                   "; its game connection comes through the relay");
    }
    if (m_rewriter->Faulted() && !m_toldFault) {
        m_toldFault = true;
        m_host.Say(Name() + ": " + m_rewriter->Fault() +
                   "; the rest of this login passes as it is, and a later redirect would bypass the relay");
    }
}

// A packet held for the redirect check never keeps the client waiting long, nor is it lost.
void LoginSession::GiveUpRewriting(const std::string& why) {
    m_out.clear();
    m_rewriter->GiveUp(why, m_out);
    ToClient(m_out);
    if (!m_toldFault) {
        m_toldFault = true;
        m_host.Say(Name() + ": " + why +
                   "; the rest of this login passes as it is, and a later redirect would bypass "
                   "the relay");
    }
}

void LoginSession::Tick(Clock::time_point now) {
    RelayedConnection::Tick(now);
    if (m_rewriter && !m_rewriter->Faulted() && m_rewriter->Pending() > 0 && now - m_serverBytesAt >= kHoldBound) {
        GiveUpRewriting("a packet stayed incomplete for a second, perhaps mis-sized");
        Settle();
    }
}

void LoginSession::ServerEnded() {
    if (m_rewriter && !m_rewriter->Faulted() && m_rewriter->Pending() > 0)
        GiveUpRewriting("the stream ended inside a packet");
}

std::string LoginSession::ServerGoneLine(const std::string& reason) const {
    if (m_redirected && reason.empty())
        return {}; // the client is on its way to the game server
    return RelayedConnection::ServerGoneLine(reason);
}
