#pragma once

#include "ClientOpening.h"
#include "RedirectRewriter.h"
#include "RelayedConnection.h"

#include <memory>
#include <optional>

// A login connection: both ways pass as they are, but for every 0x8C redirect, which is pointed
// at the relay's game port while the real game server is remembered by its key.
class LoginSession final : public RelayedConnection {
public:
    LoginSession(SessionHost& host, int clientFd, std::string name, std::unique_ptr<ClientOpening> opening,
                 std::array<std::uint8_t, 4> relayAddress, std::uint16_t gamePort, const sockaddr_storage& shard,
                 socklen_t shardLength);

    // The client's first bytes, read before the connection was known to be a login.
    void Begin(std::span<const std::uint8_t> opening);
    void Tick(Clock::time_point now) override;

private:
    void FromClient(std::span<const std::uint8_t> bytes) override;
    void FromServer(std::span<const std::uint8_t> bytes) override;
    std::string ServerGoneLine(const std::string& reason) const override;
    void TellIfEncrypted();
    void ServerEnded() override;
    void GiveUpRewriting(const std::string& why);

    std::unique_ptr<ClientOpening> m_opening;
    std::array<std::uint8_t, 4> m_relayAddress;
    std::uint16_t m_gamePort;
    sockaddr_storage m_shard;
    std::optional<RedirectRewriter> m_rewriter;
    bool m_toldEncrypted = false;
    bool m_toldFault = false;
    bool m_redirected = false;
    Clock::time_point m_serverBytesAt{};
    std::vector<std::uint8_t> m_out;
    std::vector<Redirect> m_found;
};
