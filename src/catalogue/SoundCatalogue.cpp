#include "SoundCatalogue.h"

// Locking and the view: the view's callbacks may come straight back into the catalogue (a rebuild
// walks it; deleting the list's rows can raise row notifications that update entries). So the
// plain members call the view only while they do NOT hold m_lock: AddOrUpdate after releasing it,
// Clear before taking it. The one exception is Edit::Clear, which already holds the lock
// exclusively and calls DeleteAllSoundRows under it; the view must then only drop its own rows.

SoundCatalogue::SoundCatalogue() : m_data(std::make_unique<SoundCatalogueData>()) {}

SoundCatalogue::~SoundCatalogue() = default;

void SoundCatalogue::AddOrUpdate(std::int32_t number, std::string_view comment, bool mute, bool keepPosition,
                                 bool refreshView, SoundListView* view) {
    bool stored = false;
    {
        std::unique_lock lock(m_lock);
        stored = m_data->AddOrUpdate(number, comment, mute, keepPosition);
    }
    if (stored && refreshView && view != nullptr) {
        view->RebuildSoundList();
    }
}

void SoundCatalogue::Remove(std::int32_t number) {
    std::unique_lock lock(m_lock);
    m_data->Remove(number);
}

void SoundCatalogue::Clear(SoundListView* view) {
    if (view != nullptr) {
        view->DeleteAllSoundRows();
    }
    std::unique_lock lock(m_lock);
    m_data->Clear();
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
    return Edit(*m_data, m_lock);
}

SoundCatalogue::Walk SoundCatalogue::BeginWalk() const {
    return Walk(*m_data, m_lock);
}

void SoundCatalogue::Edit::AddOrUpdate(std::int32_t number, std::string_view comment, bool mute, bool keepPosition) {
    m_data.AddOrUpdate(number, comment, mute, keepPosition);
}

void SoundCatalogue::Edit::Remove(std::int32_t number) {
    m_data.Remove(number);
}

void SoundCatalogue::Edit::Clear(SoundListView* view) {
    if (view != nullptr) {
        view->DeleteAllSoundRows(); // under the exclusive lock: must not reach back into the catalogue
    }
    m_data.Clear();
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
