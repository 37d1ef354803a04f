#include "SoundDisplayOrder.h"

#include <algorithm>

SoundDisplayOrder::SoundDisplayOrder() : m_tree(kSlots + 1, 0), m_slotOf(std::make_unique<std::uint32_t[]>(0x10000)) {
    m_slots.reserve(kSlots);
}

void SoundDisplayOrder::Add(std::size_t slot, int delta) {
    for (std::size_t i = slot + 1; i <= kSlots; i += i & (~i + 1)) {
        m_tree[i] += delta;
    }
}

int SoundDisplayOrder::RowOf(std::uint16_t number) const {
    const std::uint32_t slot = m_slotOf[number];
    if (slot == 0) {
        return -1;
    }
    int filled = 0; // filled slots up to and including this one
    for (std::size_t i = slot; i > 0; i -= i & (~i + 1)) {
        filled += m_tree[i];
    }
    return filled - 1;
}

std::uint16_t SoundDisplayOrder::NumberAt(int row) const {
    // The lowest slot with row + 1 filled slots up to it.
    std::size_t position = 0;
    int remaining = row + 1;
    for (std::size_t step = kSlots; step > 0; step >>= 1) {
        if (position + step <= kSlots && m_tree[position + step] < remaining) {
            position += step;
            remaining -= m_tree[position];
        }
    }
    return m_slots[position];
}

void SoundDisplayOrder::Append(std::uint16_t number) {
    if (m_slots.size() == kSlots) {
        Compact();
    }
    m_slots.push_back(number);
    m_slotOf[number] = static_cast<std::uint32_t>(m_slots.size());
    Add(m_slots.size() - 1, 1);
    ++m_count;
}

void SoundDisplayOrder::Remove(std::uint16_t number) {
    const std::size_t slot = m_slotOf[number] - 1u;
    m_slots[slot] = 0;
    m_slotOf[number] = 0;
    Add(slot, -1);
    --m_count;
}

void SoundDisplayOrder::Clear() {
    for (const std::uint16_t number : m_slots) {
        m_slotOf[number] = 0;
    }
    m_slots.clear();
    std::fill(m_tree.begin(), m_tree.end(), 0);
    m_count = 0;
}

void SoundDisplayOrder::Compact() {
    std::size_t filled = 0;
    for (const std::uint16_t number : m_slots) {
        if (number != 0) {
            m_slots[filled++] = number;
            m_slotOf[number] = static_cast<std::uint32_t>(filled);
        }
    }
    m_slots.resize(filled);
    // The tree of `filled` leading ones, built in one pass.
    std::fill(m_tree.begin(), m_tree.end(), 0);
    for (std::size_t i = 1; i <= kSlots; ++i) {
        m_tree[i] += i <= filled ? 1 : 0;
        const std::size_t parent = i + (i & (~i + 1));
        if (parent <= kSlots) {
            m_tree[parent] += m_tree[i];
        }
    }
}
