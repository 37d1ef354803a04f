#pragma once

#include "SoundEntry.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The catalogue's contents without any locking; SoundCatalogue guards it.
//
// Every change and lookup is O(1), so a hook-thread lookup never waits long for the lock and a
// file of 65,534 entries loads in linear time (about 1 ms):
// - the entries sit densely in m_records (in no particular order; a removal moves the last one into
//   the gap);
// - m_nodes, indexed by sound number, gives each number's place in m_records and its neighbours in
//   the display order, a doubly linked list from m_head to m_tail.
// Sound number 0 is never stored, so it serves as "none" in the links and in m_nodes[].record.
// The number-order walk scans m_nodes in order (a fixed 65,536 steps, well under a millisecond).
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

    template <class F> void ForEachInDisplayOrder(F&& f) const {
        for (std::uint16_t n = m_head; n != 0; n = m_nodes[n].next) {
            f(m_records[m_nodes[n].record - 1u]);
        }
    }

    template <class F> void ForEachInNumberOrder(F&& f) const {
        if (m_records.empty()) {
            return;
        }
        for (std::size_t n = 1; n < kNumberCount - 1; ++n) {
            if (m_nodes[n].record != 0) {
                f(m_records[m_nodes[n].record - 1u]);
            }
        }
    }

private:
    static constexpr std::size_t kNumberCount = 0x10000;

    struct Node {
        std::uint16_t record = 0; // index into m_records + 1; 0: no entry
        std::uint16_t prev = 0;   // display order neighbours; 0: none
        std::uint16_t next = 0;
    };

    template <class Comment> Placed Store(std::int32_t number, Comment&& comment, bool mute, bool keepPosition);
    void Append(std::uint16_t number);
    void Unlink(std::uint16_t number);

    std::vector<SoundEntry> m_records;
    std::unique_ptr<Node[]> m_nodes; // kNumberCount of them, on the heap (384 KiB)
    std::uint16_t m_head = 0;
    std::uint16_t m_tail = 0;
};
