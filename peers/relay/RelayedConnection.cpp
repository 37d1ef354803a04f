#include "RelayedConnection.h"

RelayedConnection::RelayedConnection(SessionHost& host, int clientFd, std::string name)
    : m_host(host), m_name(std::move(name)), m_client(clientFd) {}

void RelayedConnection::Connect(const sockaddr_storage& server, socklen_t length, Clock::duration timeout) {
    std::string error;
    if (!m_server.StartConnect(server, length, error)) {
        m_host.Say(m_name + ": cannot reach " + AddressText(server) + " (" + error +
                   "); closing the client's connection");
        CloseAll();
        return;
    }
    m_serverText = AddressText(server);
    m_connectDeadline = Clock::now() + timeout;
}

bool RelayedConnection::Paused(bool towardClient) {
    const std::size_t waiting =
        towardClient ? m_client.Unsent() + HeldForClient() : m_server.Unsent() + HeldForServer();
    bool& paused = towardClient ? m_pausedTowardClient : m_pausedTowardServer;
    if (paused && waiting <= kLowWater)
        paused = false;
    else if (!paused && waiting >= kHighWater)
        paused = true;
    return paused;
}

void RelayedConnection::AddPollFds(std::vector<pollfd>& fds) const {
    auto self = const_cast<RelayedConnection*>(this); // the marks' hysteresis is bookkeeping only
    short client = 0, server = 0;
    if (m_client.IsOpen()) {
        if (!m_clientEnded && !self->Paused(false))
            client |= POLLIN;
        if (m_client.WantsWrite())
            client |= POLLOUT;
    }
    if (m_server.IsOpen()) {
        if (m_server.Connecting()) {
            server = POLLOUT;
        } else {
            if (!m_serverEnded && !self->Paused(true))
                server |= POLLIN;
            if (m_server.WantsWrite())
                server |= POLLOUT;
        }
    }
    fds.push_back({m_client.IsOpen() ? m_client.Fd() : -1, client, 0});
    fds.push_back({m_server.IsOpen() ? m_server.Fd() : -1, server, 0});
}

void RelayedConnection::OnPoll(const pollfd& client, const pollfd& server) {
    if (m_server.IsOpen() && m_server.Connecting() && server.revents != 0) {
        std::string error;
        if (!m_server.FinishConnect(error)) {
            m_host.Say(m_name + ": cannot reach " + m_serverText + " (" + error + "); closing the client's connection");
            CloseAll();
            return;
        }
    }
    if (m_client.IsOpen() && (client.revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !m_clientEnded)
        ReadSide(m_client, true);
    if (m_server.IsOpen() && !m_server.Connecting() && (server.revents & (POLLIN | POLLHUP | POLLERR)) != 0 &&
        !m_serverEnded)
        ReadSide(m_server, false);
    Settle();
}

void RelayedConnection::ReadSide(SocketStream& from, bool fromClient) {
    // A few reads at most, so one busy connection cannot starve the others.
    for (int round = 0; round < 4 && from.IsOpen(); ++round) {
        m_readBuffer.clear();
        std::string error;
        const auto result = from.Read(m_readBuffer, kReadSize, error);
        if (result == SocketStream::ReadResult::Nothing)
            return;
        if (result == SocketStream::ReadResult::Data) {
            if (fromClient)
                FromClient(m_readBuffer);
            else
                FromServer(m_readBuffer);
            if (m_readBuffer.size() < kReadSize || Paused(fromClient ? false : true))
                return;
            continue;
        }
        if (fromClient) {
            m_clientEnded = true;
            ClientEnded();
            if (result == SocketStream::ReadResult::Failed) {
                m_host.Say(m_name + ": the client's connection broke (" + error + ")");
                CloseAll();
            }
        } else {
            m_serverEnded = true;
            ServerEnded();
            const std::string line = ServerGoneLine(result == SocketStream::ReadResult::Failed ? error : "");
            if (!line.empty())
                m_host.Say(m_name + ": " + line);
        }
        return;
    }
}

std::string RelayedConnection::ServerGoneLine(const std::string& reason) const {
    return reason.empty() ? "the shard closed the connection; closing the client's"
                          : "the connection to the shard broke (" + reason + "); closing the client's";
}

void RelayedConnection::Settle() {
    std::string error;
    if (m_client.IsOpen() && !m_client.Flush(error)) {
        if (!m_clientEnded)
            m_host.Say(m_name + ": cannot send to the client (" + error + ")");
        CloseAll();
        return;
    }
    if (m_server.IsOpen() && !m_server.Connecting() && !m_server.Flush(error)) {
        m_serverEnded = true;
        ServerEnded();
        const std::string line = ServerGoneLine(error);
        if (!line.empty())
            m_host.Say(m_name + ": " + line);
        m_server.Close();
    }
    if (m_serverEnded) {
        m_server.Close();
        // What the server sent last (a refusal, a farewell) still reaches the client.
        if (m_client.IsOpen() && !HoldingForClient() && m_client.Unsent() == 0)
            m_client.Close();
    }
    if (m_clientEnded && m_server.IsOpen() && !m_server.Connecting() && !HoldingForServer() && m_server.Unsent() == 0) {
        m_server.Close();
    }
    if (m_clientEnded && !m_server.IsOpen())
        m_client.Close();
}

void RelayedConnection::Tick(Clock::time_point now) {
    if (m_server.IsOpen() && m_server.Connecting() && now >= m_connectDeadline) {
        m_host.Say(m_name + ": cannot reach " + m_serverText + " (no answer); closing the client's connection");
        CloseAll();
    }
}

void RelayedConnection::CloseAll() {
    m_client.Close();
    m_server.Close();
}
