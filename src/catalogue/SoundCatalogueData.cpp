#include "SoundCatalogueData.h"

#include <utility>

SoundCatalogueData::SoundCatalogueData() : m_recordOf(std::make_unique<std::uint16_t[]>(kNumberCount)) {}

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
    const std::uint16_t record = m_recordOf[n];
    if (record != 0) {
        SoundEntry& entry = m_records[record - 1u];
        entry.comment = std::forward<Comment>(comment); // may throw: nothing has changed yet
        entry.mute = mute;
        if (!keepPosition && m_order.RowOf(n) + 1 != static_cast<int>(m_order.Count())) {
            m_order.Remove(n);
            m_order.Append(n);
            return Placed::MovedToEnd;
        }
        return Placed::InPlace;
    }
    m_records.push_back(
        SoundEntry{n, mute, std::string(std::forward<Comment>(comment))}); // may throw: nothing has changed yet
    m_recordOf[n] = static_cast<std::uint16_t>(m_records.size());
    m_order.Append(n);
    return Placed::Appended;
}

bool SoundCatalogueData::Remove(std::int32_t number) {
    const auto n = static_cast<std::uint16_t>(number);
    if (!IsStorable(n) || m_recordOf[n] == 0) {
        return false;
    }
    m_order.Remove(n);
    const std::size_t index = m_recordOf[n] - 1u;
    if (index + 1 != m_records.size()) {
        // Fill the gap with the last record so m_records stays dense.
        m_records[index] = std::move(m_records.back());
        m_recordOf[m_records[index].number] = static_cast<std::uint16_t>(index + 1);
    }
    m_records.pop_back();
    m_recordOf[n] = 0;
    return true;
}

void SoundCatalogueData::Clear() {
    // Only the present numbers need resetting; no scan of the whole table.
    for (const SoundEntry& entry : m_records) {
        m_recordOf[entry.number] = 0;
    }
    m_records.clear();
    m_order.Clear();
}

const SoundEntry* SoundCatalogueData::Find(std::uint16_t number) const {
    const std::uint16_t record = m_recordOf[number];
    return record != 0 ? &m_records[record - 1u] : nullptr;
}
