#pragma once

#include "SessionHost.h"
#include "SocketStream.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <poll.h>
#include <span>
#include <string>
#include <vector>

// A client's connection relayed to a server: the two non-blocking sockets, the connect to the
// server, and the ends of both. What passes between them is the subclass's. A side whose
// receiver has more than kHighWater bytes waiting is not read until they are down to kLowWater,
// so a slow side slows the other instead of growing memory.
class RelayedConnection {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kHighWater = std::size_t{1} << 20;
    static constexpr std::size_t kLowWater = std::size_t{256} << 10;
    static constexpr std::size_t kReadSize = 64 << 10;
    // A packet begun that has not been completed for this long is taken for a mis-sized one: the
    // cutting of that direction stops and what was held goes on.
    static constexpr Clock::duration kHoldBound = std::chrono::seconds(1);

    RelayedConnection(SessionHost& host, int clientFd, std::string name);
    virtual ~RelayedConnection() = default;
    RelayedConnection(const RelayedConnection&) = delete;
    RelayedConnection& operator=(const RelayedConnection&) = delete;

    // Connects to the server; the client's bytes wait meanwhile.
    void Connect(const sockaddr_storage& server, socklen_t length, Clock::duration timeout);

    // Two entries: the client's socket and the server's (fd -1 while there is none).
    void AddPollFds(std::vector<pollfd>& fds) const;
    void OnPoll(const pollfd& client, const pollfd& server);
    virtual void Tick(Clock::time_point now);
    bool Finished() const { return !m_client.IsOpen() && !m_server.IsOpen(); }
    // A side has more waiting for it than the high mark (as of the last AddPollFds): nothing more
    // should be added for it, from the other side or from anywhere else.
    bool Backlogged() const {
        return m_pausedTowardClient || m_pausedTowardServer || m_client.Unsent() + HeldForClient() >= kHighWater ||
               m_server.Unsent() + HeldForServer() >= kHighWater;
    }
    const std::string& Name() const { return m_name; }
    int ClientFd() const { return m_client.Fd(); }

protected:
    virtual void FromClient(std::span<const std::uint8_t> bytes) = 0;
    virtual void FromServer(std::span<const std::uint8_t> bytes) = 0;
    // Bytes the subclass holds for a side beyond its socket's buffer (counted against the marks).
    virtual std::size_t HeldForClient() const { return 0; }
    virtual std::size_t HeldForServer() const { return 0; }
    // The subclass still holds bytes for that side that are not in its socket's buffer yet.
    virtual bool HoldingForClient() const { return false; }
    virtual bool HoldingForServer() const { return false; }
    // A side's stream has ended: what is held of it must go on now.
    virtual void ServerEnded() {}
    virtual void ClientEnded() {}
    // The server has ended its stream (or broken): a line for the user, or empty.
    virtual std::string ServerGoneLine(const std::string& reason) const;

    // Sends `bytes` on at once (the subclass calls these from its FromClient/FromServer).
    void ToServer(std::span<const std::uint8_t> bytes) { m_server.Queue(bytes); }
    void ToClient(std::span<const std::uint8_t> bytes) { m_client.Queue(bytes); }
    std::vector<std::uint8_t>& ClientOut() { return m_client.Out(); }
    std::vector<std::uint8_t>& ServerOut() { return m_server.Out(); }
    // Flushes what can go now and closes ends that are done; call after queuing outside OnPoll.
    void Settle();
    void CloseAll();

    SessionHost& m_host;

private:
    void ReadSide(SocketStream& from, bool fromClient);
    bool Paused(bool towardClient);

    std::string m_name;
    std::string m_serverText;
    SocketStream m_client;
    SocketStream m_server;
    Clock::time_point m_connectDeadline{};
    bool m_clientEnded = false; // no more bytes from the client
    bool m_serverEnded = false;
    bool m_pausedTowardClient = false;
    bool m_pausedTowardServer = false;
    std::vector<std::uint8_t> m_readBuffer;
};
