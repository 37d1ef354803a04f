#pragma once

#include "SoundCatalogueJournal.h"
#include "SoundEntry.h"
#include "SoundListView.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string_view>
#include <vector>

class SoundCatalogueData;

// What a view needs to catch up with the catalogue: the changes since the revision it shows and the
// present state of the numbers they name, or, when it must refill whole, every entry.
struct SoundCatalogueChanges {
    std::uint64_t revision = 0; // the revision the view is at once it has applied these
    bool whole = false;
    // whole: every entry in display order. Otherwise the entries (in no particular order) of the
    // numbers that `changes` names and that are still listed.
    std::vector<SoundEntry> entries;
    std::vector<SoundCatalogueJournal::Change> changes; // oldest first; empty when whole
};

// The process's one catalogue of sound numbers: entries by number, and the display order
// (list and save order, each number once).
//
// Shared by the UI thread (every change) and the hook pump thread (a lookup per sound packet).
// A reader/writer lock guards it: lookups shared, changes exclusive. The view is never called
// while the lock is held, except DeleteAllSoundRows inside an Edit's Clear, which must not touch
// the catalogue (the list's own rows only); see Edit.
class SoundCatalogue {
public:
    SoundCatalogue();
    ~SoundCatalogue();
    SoundCatalogue(const SoundCatalogue&) = delete;
    SoundCatalogue& operator=(const SoundCatalogue&) = delete;

    // Only the low 16 bits of `number` count; 0x0000 and 0xFFFF are ignored. keepPosition: a listed
    // number stays where it is; otherwise it moves to the end. A new number is always appended.
    // refreshView: ask `view` to rebuild after the change (lock already released).
    void AddOrUpdate(std::int32_t number, std::string_view comment, bool mute, bool keepPosition, bool refreshView,
                     SoundListView* view);
    void Remove(std::int32_t number);
    // Deletes the view's rows, then empties the catalogue.
    void Clear(SoundListView* view);

    std::optional<SoundEntry> Find(std::uint16_t number) const;
    // The pump's per-packet question; no copy of the comment.
    bool IsMuted(std::uint16_t number) const;
    std::size_t Count() const;

    std::vector<SoundEntry> EntriesInDisplayOrder() const;
    std::vector<SoundEntry> EntriesInNumberOrder() const;

    // Counts every change; a view remembers the revision it shows. kAnyRevision asks for the whole.
    static constexpr std::uint64_t kAnyRevision = UINT64_MAX;
    std::uint64_t Revision() const;
    SoundCatalogueChanges ChangesSince(std::uint64_t revision) const;

    // Replaces the whole catalogue by `entries` as AddOrUpdate with keepPosition false would store
    // them one after another (so a number listed twice takes its last place and fields; unstorable
    // numbers are dropped). The new contents are built before the lock is taken, so lookups wait
    // only for a swap. Deletes the view's rows first (the lock is not held then).
    void Replace(std::vector<SoundEntry> entries, SoundListView* view);

    // Holds the lock exclusively for a whole sequence of changes (a file load's clear-and-refill),
    // so the pump never sees half of it. Do not call back into the catalogue's own locking
    // members while an Edit is alive on the same thread.
    class Edit {
    public:
        void AddOrUpdate(std::int32_t number, std::string_view comment, bool mute, bool keepPosition);
        void Remove(std::int32_t number);
        void Clear(SoundListView* view);
        std::optional<SoundEntry> Find(std::uint16_t number) const;
        std::size_t Count() const;

    private:
        friend class SoundCatalogue;
        Edit(SoundCatalogueData& data, SoundCatalogueJournal& journal, std::shared_mutex& lock)
            : m_data(data), m_journal(journal), m_lock(lock) {}
        SoundCatalogueData& m_data;
        SoundCatalogueJournal& m_journal;
        std::unique_lock<std::shared_mutex> m_lock;
    };

    // Holds the lock shared for a whole walk (a file save).
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
    std::unique_ptr<SoundCatalogueData> m_data;
    SoundCatalogueJournal m_journal;
    mutable std::shared_mutex m_lock;
};

#include "SoundCatalogueData.h"

template <class F> void SoundCatalogue::Walk::InDisplayOrder(F&& f) const {
    m_data.ForEachInDisplayOrder(f);
}
template <class F> void SoundCatalogue::Walk::InNumberOrder(F&& f) const {
    m_data.ForEachInNumberOrder(f);
}
