#include "PeerOutbox.h"

#include <cerrno>
#include <sys/socket.h>

void PeerOutbox::Attach(int fd) {
    m_fd = fd;
    m_bytes.clear();
    m_start = 0;
}

bool PeerOutbox::Queue(std::span<const std::uint8_t> head, std::span<const std::uint8_t> tail,
                       Clock::time_point now) {
    if (m_fd < 0)
        return true; // nobody to send to: dropped, as the peer it was for is gone
    if (Unsent() + head.size() + tail.size() > m_maxUnsent)
        return false;
    if (!Pending()) {
        m_bytes.clear();
        m_start = 0;
        m_lastProgress = now; // the peer's time to read starts now
    } else if (m_start >= m_bytes.size() / 2) {
        m_bytes.erase(m_bytes.begin(), m_bytes.begin() + static_cast<std::ptrdiff_t>(m_start));
        m_start = 0;
    }
    m_bytes.insert(m_bytes.end(), head.begin(), head.end());
    m_bytes.insert(m_bytes.end(), tail.begin(), tail.end());
    return true;
}

PeerOutbox::FlushResult PeerOutbox::Flush(Clock::time_point now) {
    while (Pending()) {
        if (m_fd < 0)
            return FlushResult::Broken;
        const ssize_t sent = send(m_fd, m_bytes.data() + m_start, Unsent(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return FlushResult::Pending;
            return FlushResult::Broken;
        }
        m_start += static_cast<std::size_t>(sent);
        m_lastProgress = now;
    }
    m_bytes.clear();
    m_start = 0;
    if (m_bytes.capacity() > kKeptCapacity)
        m_bytes.shrink_to_fit(); // a burst is over: give its memory back
    return FlushResult::Done;
}

PeerOutbox::Clock::time_point PeerOutbox::StallDeadline() const {
    if (!Pending())
        return Clock::time_point::max();
    return m_lastProgress + m_stallLimit;
}
