#include "SoundCatalogue.h"

#include <unordered_set>

// Locking and the view: the view's callbacks may come straight back into the catalogue (a rebuild
// walks it; deleting the list's rows can raise row notifications that update entries). So the
// plain members call the view only while they do NOT hold m_lock: AddOrUpdate after releasing it,
// Clear before taking it. The one exception is Edit::Clear, which already holds the lock
// exclusively and calls DeleteAllSoundRows under it; the view must then only drop its own rows.

SoundCatalogue::SoundCatalogue() : m_data(std::make_unique<SoundCatalogueData>()) {}

SoundCatalogue::~SoundCatalogue() = default;

// What the journal is told of an AddOrUpdate: nothing when nothing was stored. A view compares the
// fields of every number a change names, so a move needs no separate update.
static void Journal(SoundCatalogueJournal& journal, std::int32_t number, SoundCatalogueData::Placed placed) {
    using Kind = SoundCatalogueJournal::Kind;
    const auto n = static_cast<std::uint16_t>(number);
    switch (placed) {
    case SoundCatalogueData::Placed::Nothing:
        return;
    case SoundCatalogueData::Placed::Appended:
        journal.Record(Kind::Appended, n);
        return;
    case SoundCatalogueData::Placed::MovedToEnd:
        journal.Record(Kind::MovedToEnd, n);
        return;
    case SoundCatalogueData::Placed::InPlace:
        journal.Record(Kind::Updated, n);
        return;
    }
}

void SoundCatalogue::AddOrUpdate(std::int32_t number, std::string_view comment, bool mute, bool keepPosition,
                                 bool refreshView, SoundListView* view) {
    bool stored = false;
    {
        std::unique_lock lock(m_lock);
        const SoundCatalogueData::Placed placed = m_data->AddOrUpdate(number, comment, mute, keepPosition);
        Journal(m_journal, number, placed);
        stored = placed != SoundCatalogueData::Placed::Nothing;
    }
    if (stored && refreshView && view != nullptr) {
        view->RebuildSoundList();
    }
}

void SoundCatalogue::Remove(std::int32_t number) {
    std::unique_lock lock(m_lock);
    if (m_data->Remove(number)) {
        m_journal.Record(SoundCatalogueJournal::Kind::Removed, static_cast<std::uint16_t>(number));
    }
}

void SoundCatalogue::Clear(SoundListView* view) {
    if (view != nullptr) {
        view->DeleteAllSoundRows();
    }
    std::unique_lock lock(m_lock);
    m_data->Clear();
    m_journal.RecordReplaced();
}

void SoundCatalogue::Replace(std::vector<SoundEntry> entries, SoundListView* view) {
    auto fresh = std::make_unique<SoundCatalogueData>();
    for (SoundEntry& entry : entries) {
        fresh->AddOrUpdate(entry.number, std::move(entry.comment), entry.mute, false);
    }
    if (view != nullptr) {
        view->DeleteAllSoundRows();
    }
    {
        std::unique_lock lock(m_lock);
        m_data.swap(fresh);
        m_journal.RecordReplaced();
    }
    // The old contents are freed here, after the lock.
}

std::uint64_t SoundCatalogue::Revision() const {
    std::shared_lock lock(m_lock);
    return m_journal.Revision();
}

SoundCatalogueChanges SoundCatalogue::ChangesSince(std::uint64_t revision) const {
    SoundCatalogueChanges result;
    std::shared_lock lock(m_lock);
    result.revision = m_journal.Revision();
    if (m_journal.Since(revision, result.changes)) {
        std::unordered_set<std::uint16_t> named;
        for (const SoundCatalogueJournal::Change& change : result.changes) {
            if (named.insert(change.number).second) {
                if (const SoundEntry* entry = m_data->Find(change.number)) {
                    result.entries.push_back(*entry);
                }
            }
        }
        return result;
    }
    result.whole = true;
    result.changes.clear();
    result.entries.reserve(m_data->Count());
    m_data->ForEachInDisplayOrder([&result](const SoundEntry& entry) { result.entries.push_back(entry); });
    return result;
}

std::optional<SoundEntry> SoundCatalogue::Find(std::uint16_t number) const {
    std::shared_lock lock(m_lock);
    if (const SoundEntry* entry = m_data->Find(number)) {
        return *entry;
    }
    return std::nullopt;
}

bool SoundCatalogue::IsMuted(std::uint16_t number) const {
    std::shared_lock lock(m_lock);
    const SoundEntry* entry = m_data->Find(number);
    return entry != nullptr && entry->mute;
}

std::size_t SoundCatalogue::Count() const {
    std::shared_lock lock(m_lock);
    return m_data->Count();
}

std::vector<SoundEntry> SoundCatalogue::EntriesInDisplayOrder() const {
    std::shared_lock lock(m_lock);
    std::vector<SoundEntry> entries;
    entries.reserve(m_data->Count());
    m_data->ForEachInDisplayOrder([&entries](const SoundEntry& entry) { entries.push_back(entry); });
    return entries;
}

std::vector<SoundEntry> SoundCatalogue::EntriesInNumberOrder() const {
    std::shared_lock lock(m_lock);
    std::vector<SoundEntry> entries;
    entries.reserve(m_data->Count());
    m_data->ForEachInNumberOrder([&entries](const SoundEntry& entry) { entries.push_back(entry); });
    return entries;
}

SoundCatalogue::Edit SoundCatalogue::BeginEdit() {
    return Edit(*m_data, m_journal, m_lock);
}

SoundCatalogue::Walk SoundCatalogue::BeginWalk() const {
    return Walk(*m_data, m_lock);
}

void SoundCatalogue::Edit::AddOrUpdate(std::int32_t number, std::string_view comment, bool mute, bool keepPosition) {
    Journal(m_journal, number, m_data.AddOrUpdate(number, comment, mute, keepPosition));
}

void SoundCatalogue::Edit::Remove(std::int32_t number) {
    if (m_data.Remove(number)) {
        m_journal.Record(SoundCatalogueJournal::Kind::Removed, static_cast<std::uint16_t>(number));
    }
}

void SoundCatalogue::Edit::Clear(SoundListView* view) {
    if (view != nullptr) {
        view->DeleteAllSoundRows(); // under the exclusive lock: must not reach back into the catalogue
    }
    m_data.Clear();
    m_journal.RecordReplaced();
}

std::optional<SoundEntry> SoundCatalogue::Edit::Find(std::uint16_t number) const {
    if (const SoundEntry* entry = m_data.Find(number)) {
        return *entry;
    }
    return std::nullopt;
}

std::size_t SoundCatalogue::Edit::Count() const {
    return m_data.Count();
}

std::size_t SoundCatalogue::Walk::Count() const {
    return m_data.Count();
}
