#include "SocketStream.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

bool SocketStream::StartConnect(const sockaddr_storage& address, socklen_t length, std::string& error) {
    Close();
    const int fd = socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on); // a game's packets are small and urgent
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 && errno != EINPROGRESS) {
        error = std::strerror(errno);
        close(fd);
        return false;
    }
    m_fd = fd;
    m_connecting = true;
    return true;
}

bool SocketStream::FinishConnect(std::string& error) {
    int result = 0;
    socklen_t size = sizeof result;
    if (getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &result, &size) != 0)
        result = errno;
    if (result != 0) {
        error = std::strerror(result);
        return false;
    }
    m_connecting = false;
    return true;
}

SocketStream::ReadResult SocketStream::Read(std::vector<std::uint8_t>& into, std::size_t most, std::string& error) {
    const std::size_t start = into.size();
    into.resize(start + most);
    for (;;) {
        const ssize_t got = recv(m_fd, into.data() + start, most, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got > 0) {
            into.resize(start + static_cast<std::size_t>(got));
            return ReadResult::Data;
        }
        into.resize(start);
        if (got == 0)
            return ReadResult::Closed;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return ReadResult::Nothing;
        error = std::strerror(errno);
        return ReadResult::Failed;
    }
}

bool SocketStream::Flush(std::string& error) {
    while (m_fd >= 0 && Unsent() > 0) {
        const ssize_t sent = send(m_fd, m_out.data() + m_sent, Unsent(), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            error = std::strerror(errno);
            return false;
        }
        m_sent += static_cast<std::size_t>(sent);
    }
    // Written bytes leave the front only when that is cheap: all of them, or half the buffer.
    if (m_sent == m_out.size()) {
        m_out.clear();
        m_sent = 0;
    } else if (m_sent >= m_out.size() / 2) {
        m_out.erase(m_out.begin(), m_out.begin() + static_cast<std::ptrdiff_t>(m_sent));
        m_sent = 0;
    }
    return true;
}

void SocketStream::ShutdownWrite() {
    if (m_fd >= 0)
        shutdown(m_fd, SHUT_WR);
}

void SocketStream::Close() {
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
    m_connecting = false;
    m_out.clear();
    m_sent = 0;
}

std::string AddressText(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = "?";
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
        return std::string(text) + ":" + std::to_string(ntohs(v4.sin_port));
    }
    if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
        return "[" + std::string(text) + "]:" + std::to_string(ntohs(v6.sin6_port));
    }
    return text;
}
