#pragma once

#include "SoundEntry.h"
#include "SoundListView.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string_view>
#include <vector>

class SoundCatalogueData;
class SoundCatalogueObserver;

// The process's one catalogue of sound numbers: entries by number, and the display order
// (list and save order, each number once). The only copy of its entries: the list reads them here.
//
// Threads. The hook pump asks only IsMuted, which reads a table of mute bits and takes no lock,
// so a verdict never waits on whatever another thread does with the catalogue. Everything else is
// guarded by a reader/writer lock (lookups shared, changes exclusive), held only for in-memory
// work: neither the view nor the observer is ever called under it, except DeleteAllSoundRows inside
// an Edit's Clear, which must touch the list's own rows only.
// With an observer set, one thread (the list's) makes every change; the observer's unlocked
// readers (RowOf, EntryAt, ListedCount) belong to that thread.
class SoundCatalogue {
public:
    SoundCatalogue();
    ~SoundCatalogue();
    SoundCatalogue(const SoundCatalogue&) = delete;
    SoundCatalogue& operator=(const SoundCatalogue&) = delete;

    // Null: none. Told of every change after this call.
    void SetObserver(SoundCatalogueObserver* observer) { m_observer = observer; }

    // Only the low 16 bits of `number` count; 0x0000 and 0xFFFF are ignored. keepPosition: a listed
    // number stays where it is; otherwise it moves to the end. A new number is always appended.
    // refreshView: ask `view` to show the list after the change (lock already released).
    void AddOrUpdate(std::int32_t number, std::string_view comment, bool mute, bool keepPosition, bool refreshView,
                     SoundListView* view);
    void Remove(std::int32_t number);
    // Deletes the view's rows, then empties the catalogue.
    void Clear(SoundListView* view);

    std::optional<SoundEntry> Find(std::uint16_t number) const;
    // The pump's per-packet question: lock-free, never waits.
    bool IsMuted(std::uint16_t number) const;
    std::size_t Count() const;

    std::vector<SoundEntry> EntriesInDisplayOrder() const;
    std::vector<SoundEntry> EntriesInNumberOrder() const;

    // Replaces the whole catalogue by `entries` as AddOrUpdate with keepPosition false would store
    // them one after another (so a number listed twice takes its last place and fields; unstorable
    // numbers are dropped). The new contents and their mute bits are built before anything is
    // swapped, so the pump sees the old catalogue or the new one, never half of either. Deletes
    // the view's rows first.
    void Replace(std::vector<SoundEntry> entries, SoundListView* view);

    // For the observer's thread, without the lock (it is the only writer).
    std::size_t ListedCount() const;
    int RowOf(std::uint16_t number) const;    // -1 when absent; O(log n)
    const SoundEntry& EntryAt(int row) const; // row below ListedCount(); O(log n)

    // Holds the lock exclusively for a whole sequence of changes (a file load's clear-and-refill).
    // The pump's mute bits change only when the Edit ends, all at once; an observer is told of a
    // reset. Do not call back into the catalogue's own locking members while an Edit is alive on
    // the same thread.
    class Edit {
    public:
        ~Edit();
        Edit(Edit&&) = delete;
        void AddOrUpdate(std::int32_t number, std::string_view comment, bool mute, bool keepPosition);
        void Remove(std::int32_t number);
        void Clear(SoundListView* view);
        std::optional<SoundEntry> Find(std::uint16_t number) const;
        std::size_t Count() const;

    private:
        friend class SoundCatalogue;
        explicit Edit(SoundCatalogue& catalogue);
        SoundCatalogue& m_catalogue;
        std::unique_lock<std::shared_mutex> m_lock;
    };

    // Holds the lock shared for a whole walk (a file save). The pump never waits for it.
    class Walk {
    public:
        // Calls f(const SoundEntry&) for each entry, in display order / ascending number order.
        template <class F> void InDisplayOrder(F&& f) const;
        template <class F> void InNumberOrder(F&& f) const;
        std::size_t Count() const;

    private:
        friend class SoundCatalogue;
        Walk(const SoundCatalogueData& data, std::shared_mutex& lock) : m_data(data), m_lock(lock) {}
        const SoundCatalogueData& m_data;
        std::shared_lock<std::shared_mutex> m_lock;
    };

    Edit BeginEdit();
    Walk BeginWalk() const;

private:
    // One bit per number. Two tables: a whole new set of bits (a load, a clear, an edit) is written
    // into the one the pump is not reading, then published by switching m_current; a single change
    // touches one word of the current table.
    using MuteBits = std::array<std::atomic<std::uint64_t>, 0x10000 / 64>;

    void SetMuteBit(std::uint16_t number, bool mute);
    void PublishMuteBits(); // from m_data; under the exclusive lock

    std::unique_ptr<SoundCatalogueData> m_data;
    mutable std::shared_mutex m_lock;
    SoundCatalogueObserver* m_observer = nullptr;
    std::unique_ptr<MuteBits[]> m_muteBits; // two
    std::atomic<int> m_current{0};
};

#include "SoundCatalogueData.h"

template <class F> void SoundCatalogue::Walk::InDisplayOrder(F&& f) const {
    m_data.ForEachInDisplayOrder(f);
}
template <class F> void SoundCatalogue::Walk::InNumberOrder(F&& f) const {
    m_data.ForEachInNumberOrder(f);
}
