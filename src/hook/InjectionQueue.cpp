#include "InjectionQueue.h"

InjectionQueue::~InjectionQueue() {
    DiscardAll();
}

void InjectionQueue::Append(std::unique_ptr<OutboundPacket> packet) {
    if (!packet)
        return;
    OutboundPacket* added = packet.release();
    {
        std::lock_guard lock(m_lock);
        added->newer = nullptr;
        added->older = m_newest;
        if (m_newest)
            m_newest->newer = added;
        m_newest = added;
        if (!m_oldest)
            m_oldest = added;
    }
    // Outside the lock, so the woken thread does not block on it at once.
    m_appended.notify_one();
}

std::unique_ptr<OutboundPacket> InjectionQueue::UnlinkOldestLocked() {
    OutboundPacket* taken = m_oldest;
    if (!taken)
        return nullptr;
    m_oldest = taken->newer;
    taken->newer = nullptr;
    taken->older = nullptr;
    if (m_oldest)
        m_oldest->older = nullptr;
    else
        m_newest = nullptr;
    return std::unique_ptr<OutboundPacket>(taken);
}

std::unique_ptr<OutboundPacket> InjectionQueue::TakeOldest() {
    std::lock_guard lock(m_lock);
    return UnlinkOldestLocked();
}

std::unique_ptr<OutboundPacket> InjectionQueue::WaitAndTakeOldest() {
    std::unique_lock lock(m_lock);
    m_appended.wait(lock, [this] { return m_oldest != nullptr || m_woken; });
    if (m_woken) {
        m_woken = false;
        return nullptr;
    }
    return UnlinkOldestLocked();
}

void InjectionQueue::Wake() {
    {
        std::lock_guard lock(m_lock);
        m_woken = true;
    }
    m_appended.notify_all();
}

std::size_t InjectionQueue::DiscardAll() {
    std::size_t discarded = 0;
    for (;;) {
        std::unique_ptr<OutboundPacket> packet;
        {
            std::lock_guard lock(m_lock);
            packet = UnlinkOldestLocked();
        }
        if (!packet)
            return discarded;
        ++discarded;
        packet.reset(); // freed outside the lock
    }
}

bool InjectionQueue::Empty() const {
    std::lock_guard lock(m_lock);
    return m_oldest == nullptr;
}
