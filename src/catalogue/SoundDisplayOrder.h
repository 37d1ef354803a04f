#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// The display order: each storable number at most once, with its row found and a row's number
// found in O(log n), and a move to the end (Remove, Append) in O(log n) too, at 65,534 rows as at
// one. A number takes a slot at the end of an append-only row of slots; removing it only vacates
// its slot. A Fenwick tree counts the filled slots, so a number's row is the count of filled slots
// before it. When the slots run out they are compacted (O(slots)), at most once per kSlots - 65,534
// appends.
class SoundDisplayOrder {
public:
    SoundDisplayOrder();

    std::size_t Count() const { return m_count; }
    bool Contains(std::uint16_t number) const { return m_slotOf[number] != 0; }
    // -1 when the number is absent.
    int RowOf(std::uint16_t number) const;
    // row must be below Count().
    std::uint16_t NumberAt(int row) const;
    // number must be absent and not 0.
    void Append(std::uint16_t number);
    // number must be present.
    void Remove(std::uint16_t number);
    void Clear();

    template <class F> void ForEach(F&& f) const {
        for (const std::uint16_t number : m_slots) {
            if (number != 0) {
                f(number);
            }
        }
    }

private:
    static constexpr std::size_t kSlots = 0x20000; // a power of two, twice the numbers

    void Add(std::size_t slot, int delta);
    void Compact();

    std::vector<std::uint16_t> m_slots;        // slot -> number, 0: vacated
    std::vector<std::int32_t> m_tree;          // Fenwick tree of filled slots, 1-based
    std::unique_ptr<std::uint32_t[]> m_slotOf; // number -> slot + 1, 0: absent
    std::size_t m_count = 0;
};
