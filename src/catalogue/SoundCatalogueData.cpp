#include "SoundCatalogueData.h"

#include <utility>

SoundCatalogueData::SoundCatalogueData() : m_nodes(std::make_unique<Node[]>(kNumberCount)) {}

// Any stored number: the sentinels 0x0000 and 0xFFFF never are.
static bool IsStorable(std::uint16_t number) {
    return number != 0x0000 && number != 0xFFFF;
}

SoundCatalogueData::Placed SoundCatalogueData::AddOrUpdate(std::int32_t number, std::string_view comment, bool mute,
                                                           bool keepPosition) {
    return Store(number, comment, mute, keepPosition);
}

SoundCatalogueData::Placed SoundCatalogueData::AddOrUpdate(std::int32_t number, std::string&& comment, bool mute,
                                                           bool keepPosition) {
    return Store(number, std::move(comment), mute, keepPosition);
}

template <class Comment>
SoundCatalogueData::Placed SoundCatalogueData::Store(std::int32_t number, Comment&& comment, bool mute,
                                                     bool keepPosition) {
    const auto n = static_cast<std::uint16_t>(number);
    if (!IsStorable(n)) {
        return Placed::Nothing;
    }
    Node& node = m_nodes[n];
    if (node.record != 0) {
        SoundEntry& entry = m_records[node.record - 1u];
        entry.comment = std::forward<Comment>(comment); // may throw: nothing has changed yet
        entry.mute = mute;
        if (!keepPosition && m_tail != n) {
            Unlink(n);
            Append(n);
            return Placed::MovedToEnd;
        }
        return Placed::InPlace;
    }
    m_records.push_back(
        SoundEntry{n, mute, std::string(std::forward<Comment>(comment))}); // may throw: nothing has changed yet
    node.record = static_cast<std::uint16_t>(m_records.size());
    Append(n);
    return Placed::Appended;
}

bool SoundCatalogueData::Remove(std::int32_t number) {
    const auto n = static_cast<std::uint16_t>(number);
    if (!IsStorable(n) || m_nodes[n].record == 0) {
        return false;
    }
    Unlink(n);
    const std::size_t index = m_nodes[n].record - 1u;
    if (index + 1 != m_records.size()) {
        // Fill the gap with the last record so m_records stays dense.
        m_records[index] = std::move(m_records.back());
        m_nodes[m_records[index].number].record = static_cast<std::uint16_t>(index + 1);
    }
    m_records.pop_back();
    m_nodes[n].record = 0;
    return true;
}

void SoundCatalogueData::Clear() {
    // Only the present numbers' nodes need resetting; no scan of the whole table.
    for (const SoundEntry& entry : m_records) {
        m_nodes[entry.number] = Node{};
    }
    m_records.clear();
    m_head = 0;
    m_tail = 0;
}

const SoundEntry* SoundCatalogueData::Find(std::uint16_t number) const {
    const std::uint16_t record = m_nodes[number].record;
    return record != 0 ? &m_records[record - 1u] : nullptr;
}

void SoundCatalogueData::Append(std::uint16_t number) {
    Node& node = m_nodes[number];
    node.prev = m_tail;
    node.next = 0;
    if (m_tail != 0) {
        m_nodes[m_tail].next = number;
    } else {
        m_head = number;
    }
    m_tail = number;
}

void SoundCatalogueData::Unlink(std::uint16_t number) {
    Node& node = m_nodes[number];
    if (node.prev != 0) {
        m_nodes[node.prev].next = node.next;
    } else {
        m_head = node.next;
    }
    if (node.next != 0) {
        m_nodes[node.next].prev = node.prev;
    } else {
        m_tail = node.prev;
    }
    node.prev = 0;
    node.next = 0;
}
