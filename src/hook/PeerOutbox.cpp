#include "PeerOutbox.h"

void PeerOutbox::Attach(int fd) {
    m_fd = fd;
    m_bytes.Clear();
}

bool PeerOutbox::Queue(std::span<const std::uint8_t> head, std::span<const std::uint8_t> tail, Clock::time_point now) {
    if (m_fd < 0)
        return true; // nobody to send to: dropped, as the peer it was for is gone
    const bool idle = !Pending();
    if (!m_bytes.Append(head, tail))
        return false;
    if (idle)
        m_lastProgress = now; // the peer's time to read starts now
    return true;
}

PeerOutbox::FlushResult PeerOutbox::Flush(Clock::time_point now) {
    if (!Pending())
        return FlushResult::Done;
    if (m_fd < 0)
        return FlushResult::Broken;
    const std::size_t before = Unsent();
    const auto result = m_bytes.WriteTo(m_fd);
    if (Unsent() < before)
        m_lastProgress = now;
    switch (result) {
    case SendBuffer::WriteResult::Done:
        return FlushResult::Done;
    case SendBuffer::WriteResult::Pending:
        return FlushResult::Pending;
    case SendBuffer::WriteResult::Broken:
        break;
    }
    return FlushResult::Broken;
}

PeerOutbox::Clock::time_point PeerOutbox::StallDeadline() const {
    if (!Pending())
        return Clock::time_point::max();
    return m_lastProgress + m_stallLimit;
}
