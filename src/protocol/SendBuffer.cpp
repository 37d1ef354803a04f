#include "SendBuffer.h"

#include <algorithm>
#include <cerrno>
#include <sys/socket.h>

SendBuffer::SendBuffer(std::size_t limit, std::size_t highWater, std::size_t lowWater)
    : m_limit(limit), m_high(std::min(highWater, limit)), m_low(std::min(lowWater, m_high)) {}

bool SendBuffer::Append(std::span<const std::uint8_t> head, std::span<const std::uint8_t> tail) {
    if (head.size() + tail.size() > m_limit - Unsent())
        return false;
    if (!Pending()) {
        m_bytes.clear();
        m_start = 0;
    } else if (m_start >= m_bytes.size() / 2) {
        // Sent bytes are dropped from the front only once they are at least half the buffer.
        m_bytes.erase(m_bytes.begin(), m_bytes.begin() + static_cast<std::ptrdiff_t>(m_start));
        m_start = 0;
    }
    m_bytes.insert(m_bytes.end(), head.begin(), head.end());
    m_bytes.insert(m_bytes.end(), tail.begin(), tail.end());
    m_aboveHigh = m_aboveHigh || Unsent() >= m_high;
    return true;
}

SendBuffer::WriteResult SendBuffer::WriteTo(int fd) {
    while (Pending()) {
        const ssize_t sent = send(fd, m_bytes.data() + m_start, Unsent(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                m_aboveHigh = m_aboveHigh && Unsent() > m_low;
                return WriteResult::Pending;
            }
            return WriteResult::Broken;
        }
        m_start += static_cast<std::size_t>(sent);
    }
    Drained();
    return WriteResult::Done;
}

void SendBuffer::Clear() {
    Drained();
}

void SendBuffer::Drained() {
    m_bytes.clear();
    m_start = 0;
    m_aboveHigh = false;
    if (m_bytes.capacity() > kKeptCapacity)
        m_bytes.shrink_to_fit(); // a burst is over: give its memory back
}
