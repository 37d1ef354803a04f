#include "PlayedSoundQueue.h"

#include <algorithm>
#include <utility>

PlayedSoundQueue::PlayedSoundQueue(std::function<void()> wake) : m_wake(std::move(wake)) {}

void PlayedSoundQueue::SetOpen(bool open) {
    std::lock_guard lock(m_lock);
    m_open = open;
}

void PlayedSoundQueue::SetReplayMovesToBack(bool moves) {
    std::lock_guard lock(m_lock);
    m_replayMovesToBack = moves;
}

bool PlayedSoundQueue::Offer(std::uint16_t number) {
    if (number == 0x0000 || number == 0xFFFF) {
        return false;
    }
    bool wake = false;
    {
        std::lock_guard lock(m_lock);
        if (!m_open) {
            return false;
        }
        Buffer& buffer = m_buffers[m_active];
        if (!buffer.waiting[number]) {
            buffer.waiting[number] = true;
            ++buffer.distinct;
            buffer.order.push_back(number);
        } else if (m_replayMovesToBack) {
            buffer.order.push_back(number);
            if (buffer.order.size() > 2 * buffer.distinct + 64) {
                KeepLastPlays(buffer); // amortised: at least distinct + 64 replays since the last time
            }
        }
        wake = !std::exchange(m_wakeAsked, true);
    }
    if (wake && m_wake) {
        m_wake();
    }
    return true;
}

std::vector<std::uint16_t> PlayedSoundQueue::Take() {
    Buffer* taken = nullptr;
    {
        std::lock_guard lock(m_lock);
        taken = &m_buffers[m_active];
        m_active = 1 - m_active;
        m_wakeAsked = false;
    }
    // Only the next Take swaps back: until then this buffer is ours.
    KeepLastPlays(*taken);
    std::vector<std::uint16_t> numbers = std::move(taken->order);
    taken->order = {};
    for (const std::uint16_t number : numbers) {
        taken->waiting[number] = false;
    }
    taken->distinct = 0;
    return numbers;
}

void PlayedSoundQueue::KeepLastPlays(Buffer& buffer) {
    if (buffer.order.size() == buffer.distinct) {
        return;
    }
    // Backwards, keeping each number's last play; `seen` clears as the waiting bits would.
    std::bitset<0x10000> seen;
    auto kept = buffer.order.end();
    for (auto it = buffer.order.end(); it != buffer.order.begin();) {
        --it;
        if (!seen[*it]) {
            seen[*it] = true;
            *--kept = *it;
        }
    }
    buffer.order.erase(buffer.order.begin(), kept);
}

std::size_t PlayedSoundQueue::Waiting() const {
    std::lock_guard lock(m_lock);
    return m_buffers[m_active].distinct;
}

std::size_t PlayedSoundQueue::Held() const {
    std::lock_guard lock(m_lock);
    return m_buffers[m_active].order.size();
}
