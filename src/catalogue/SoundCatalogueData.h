#pragma once

#include "SoundDisplayOrder.h"
#include "SoundEntry.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The catalogue's contents without any locking; SoundCatalogue guards it.
//
// The entries sit densely in m_records (in no particular order; a removal moves the last one into
// the gap); m_recordOf, indexed by sound number, gives each number's place in m_records; the
// display order keeps the rows. A lookup by number is O(1), a change or a row lookup O(log n), so
// a file of 65,534 entries loads in a few milliseconds.
// Sound number 0 is never stored, so it serves as "none" in m_recordOf.
// The number-order walk scans m_recordOf in order (a fixed 65,536 steps, well under a millisecond).
class SoundCatalogueData {
public:
    SoundCatalogueData();

    // What AddOrUpdate did with the number.
    enum class Placed { Nothing, Appended, MovedToEnd, InPlace };

    // Only the low 16 bits count; 0x0000 and 0xFFFF are ignored (Nothing). Otherwise stores the
    // entry, overwriting both fields of a listed one. A listed number keeps its place when
    // keepPosition, else it moves to the end; a new number is always appended.
    Placed AddOrUpdate(std::int32_t number, std::string_view comment, bool mute, bool keepPosition);
    Placed AddOrUpdate(std::int32_t number, std::string&& comment, bool mute, bool keepPosition);
    // Only the low 16 bits count. False when there was no such entry.
    bool Remove(std::int32_t number);
    void Clear();

    // Null when absent. Valid until the next change.
    const SoundEntry* Find(std::uint16_t number) const;
    std::size_t Count() const { return m_records.size(); }
    // -1 when absent.
    int RowOf(std::uint16_t number) const { return m_order.RowOf(number); }
    // row must be below Count().
    const SoundEntry& EntryAt(int row) const { return *Find(m_order.NumberAt(row)); }

    template <class F> void ForEachInDisplayOrder(F&& f) const {
        m_order.ForEach([this, &f](std::uint16_t number) { f(m_records[m_recordOf[number] - 1u]); });
    }

    template <class F> void ForEachInNumberOrder(F&& f) const {
        if (m_records.empty()) {
            return;
        }
        for (std::size_t n = 1; n < kNumberCount - 1; ++n) {
            if (m_recordOf[n] != 0) {
                f(m_records[m_recordOf[n] - 1u]);
            }
        }
    }

private:
    static constexpr std::size_t kNumberCount = 0x10000;

    template <class Comment> Placed Store(std::int32_t number, Comment&& comment, bool mute, bool keepPosition);

    std::vector<SoundEntry> m_records;
    std::unique_ptr<std::uint16_t[]> m_recordOf; // kNumberCount of them: index into m_records + 1; 0: none
    SoundDisplayOrder m_order;
};
