#include "WaitBudget.h"

#include <algorithm>

void WaitBudget::NewFrame(Clock::time_point now) {
    m_frameStart = now;
    m_frameSpent = {};
}

WaitBudget::Clock::duration WaitBudget::FrameSpent(Clock::time_point now) const {
    return now - m_frameStart >= kWindow ? Clock::duration{} : m_frameSpent;
}

WaitBudget::Clock::duration WaitBudget::Left(Clock::time_point now) const {
    const std::int64_t last = SlotIndex(now);
    Clock::duration second{};
    for (const auto& slot : m_slots)
        if (slot.index >= last - kWindow / kSlot && slot.index <= last)
            second += slot.spent;
    const auto left = std::min<Clock::duration>(kPerFrame - FrameSpent(now), kPerSecond - second);
    return std::max(left, Clock::duration{});
}

void WaitBudget::Spend(Clock::time_point start, Clock::time_point end) {
    if (end <= start)
        return;
    if (start - m_frameStart >= kWindow)
        NewFrame(start);
    m_frameSpent += end - start;
    // Slots older than the window would only be overwritten.
    for (auto at = std::max(start, end - kWindow - kSlot); at < end;) {
        const std::int64_t index = SlotIndex(at);
        const auto slotEnd = std::min(end, Clock::time_point(kSlot * (index + 1)));
        auto& slot = m_slots[static_cast<std::size_t>(index) % kSlots];
        if (slot.index != index)
            slot = {index, {}};
        slot.spent += slotEnd - at;
        at = slotEnd;
    }
}
