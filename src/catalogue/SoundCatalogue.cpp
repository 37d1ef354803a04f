#include "SoundCatalogue.h"

#include "SoundCatalogueObserver.h"

// Locking, the view and the observer: their callbacks may come straight back into the catalogue
// (the list reads its rows), so they run only while m_lock is NOT held: the "about to" half before
// the change takes the lock, the other half after it is released. The one exception is
// Edit::Clear, which already holds the lock exclusively and calls DeleteAllSoundRows under it; the
// view must then only drop its own rows.

static bool IsStorable(std::uint16_t number) {
    return number != 0x0000 && number != 0xFFFF;
}

SoundCatalogue::SoundCatalogue()
    : m_data(std::make_unique<SoundCatalogueData>()), m_muteBits(std::make_unique<MuteBits[]>(2)) {
    for (int table = 0; table < 2; ++table) {
        for (std::atomic<std::uint64_t>& word : m_muteBits[table]) {
            word.store(0, std::memory_order_relaxed);
        }
    }
}

SoundCatalogue::~SoundCatalogue() = default;

bool SoundCatalogue::IsMuted(std::uint16_t number) const {
    const MuteBits& bits = m_muteBits[m_current.load(std::memory_order_acquire)];
    return (bits[number / 64].load(std::memory_order_acquire) >> (number % 64)) & 1u;
}

void SoundCatalogue::SetMuteBit(std::uint16_t number, bool mute) {
    std::atomic<std::uint64_t>& word = m_muteBits[m_current.load(std::memory_order_relaxed)][number / 64];
    const std::uint64_t bit = std::uint64_t{1} << (number % 64);
    if (mute) {
        word.fetch_or(bit, std::memory_order_release);
    } else {
        word.fetch_and(~bit, std::memory_order_release);
    }
}

void SoundCatalogue::PublishMuteBits() {
    // A pump that read m_current just before the previous switch may still be reading this table:
    // it sees, word by word, either state of a number, as a lookup just before or after would.
    const int next = 1 - m_current.load(std::memory_order_relaxed);
    std::array<std::uint64_t, 0x10000 / 64> words{};
    m_data->ForEachInDisplayOrder([&words](const SoundEntry& entry) {
        if (entry.mute) {
            words[entry.number / 64] |= std::uint64_t{1} << (entry.number % 64);
        }
    });
    for (std::size_t i = 0; i < words.size(); ++i) {
        m_muteBits[next][i].store(words[i], std::memory_order_relaxed);
    }
    m_current.store(next, std::memory_order_release);
}

void SoundCatalogue::AddOrUpdate(std::int32_t number, std::string_view comment, bool mute, bool keepPosition,
                                 bool refreshView, SoundListView* view) {
    const auto n = static_cast<std::uint16_t>(number);
    if (!IsStorable(n)) {
        return;
    }
    SoundCatalogueObserver* observer = m_observer;
    int from = -1;
    int rows = 0;
    bool changed = true;
    if (observer != nullptr) {
        // The observer's thread is the only writer: what it reads here still holds under the lock.
        rows = static_cast<int>(m_data->Count());
        from = m_data->RowOf(n);
        if (const SoundEntry* entry = m_data->Find(n)) {
            changed = entry->mute != mute || entry->comment != comment;
        }
        if (from < 0) {
            observer->EntryAboutToBeAppended(rows);
        } else if (!keepPosition && from != rows - 1) {
            observer->EntryAboutToMove(from, rows);
        }
    }
    SoundCatalogueData::Placed placed;
    {
        std::unique_lock lock(m_lock);
        placed = m_data->AddOrUpdate(n, comment, mute, keepPosition);
        SetMuteBit(n, mute);
    }
    if (observer != nullptr) {
        switch (placed) {
        case SoundCatalogueData::Placed::Appended:
            observer->EntryAppended();
            break;
        case SoundCatalogueData::Placed::MovedToEnd:
            observer->EntryMoved();
            if (changed) {
                observer->EntryChanged(rows - 1);
            }
            break;
        case SoundCatalogueData::Placed::InPlace:
            if (changed) {
                observer->EntryChanged(from);
            }
            break;
        case SoundCatalogueData::Placed::Nothing:
            break;
        }
    }
    if (refreshView && view != nullptr) {
        view->RebuildSoundList();
    }
}

void SoundCatalogue::Remove(std::int32_t number) {
    const auto n = static_cast<std::uint16_t>(number);
    if (!IsStorable(n)) {
        return;
    }
    SoundCatalogueObserver* observer = m_observer;
    const int row = observer != nullptr ? m_data->RowOf(n) : -1;
    if (row >= 0) {
        observer->EntryAboutToBeRemoved(row);
    }
    {
        std::unique_lock lock(m_lock);
        m_data->Remove(n);
        SetMuteBit(n, false);
    }
    if (row >= 0) {
        observer->EntryRemoved();
    }
}

void SoundCatalogue::Clear(SoundListView* view) {
    if (view != nullptr) {
        view->DeleteAllSoundRows();
    }
    SoundCatalogueObserver* observer = m_observer;
    if (observer != nullptr) {
        observer->AboutToReset();
    }
    {
        std::unique_lock lock(m_lock);
        m_data->Clear();
        PublishMuteBits();
    }
    if (observer != nullptr) {
        observer->Reset();
    }
}

void SoundCatalogue::Replace(std::vector<SoundEntry> entries, SoundListView* view) {
    auto fresh = std::make_unique<SoundCatalogueData>();
    for (SoundEntry& entry : entries) {
        fresh->AddOrUpdate(entry.number, std::move(entry.comment), entry.mute, false);
    }
    entries = {};
    if (view != nullptr) {
        view->DeleteAllSoundRows();
    }
    SoundCatalogueObserver* observer = m_observer;
    if (observer != nullptr) {
        observer->AboutToReset();
    }
    {
        std::unique_lock lock(m_lock);
        m_data.swap(fresh);
        PublishMuteBits();
    }
    if (observer != nullptr) {
        observer->Reset();
    }
    // The old contents are freed here, after the lock and the announcement.
}

std::optional<SoundEntry> SoundCatalogue::Find(std::uint16_t number) const {
    std::shared_lock lock(m_lock);
    if (const SoundEntry* entry = m_data->Find(number)) {
        return *entry;
    }
    return std::nullopt;
}

std::size_t SoundCatalogue::Count() const {
    std::shared_lock lock(m_lock);
    return m_data->Count();
}

std::size_t SoundCatalogue::ListedCount() const {
    return m_data->Count();
}

int SoundCatalogue::RowOf(std::uint16_t number) const {
    return m_data->RowOf(number);
}

const SoundEntry& SoundCatalogue::EntryAt(int row) const {
    return m_data->EntryAt(row);
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
    return Edit(*this);
}

SoundCatalogue::Walk SoundCatalogue::BeginWalk() const {
    return Walk(*m_data, m_lock);
}

SoundCatalogue::Edit::Edit(SoundCatalogue& catalogue)
    : m_catalogue(catalogue), m_lock(catalogue.m_lock, std::defer_lock) {
    if (m_catalogue.m_observer != nullptr) {
        m_catalogue.m_observer->AboutToReset();
    }
    m_lock.lock();
}

SoundCatalogue::Edit::~Edit() {
    m_catalogue.PublishMuteBits();
    m_lock.unlock();
    if (m_catalogue.m_observer != nullptr) {
        m_catalogue.m_observer->Reset();
    }
}

void SoundCatalogue::Edit::AddOrUpdate(std::int32_t number, std::string_view comment, bool mute, bool keepPosition) {
    m_catalogue.m_data->AddOrUpdate(number, comment, mute, keepPosition);
}

void SoundCatalogue::Edit::Remove(std::int32_t number) {
    m_catalogue.m_data->Remove(number);
}

void SoundCatalogue::Edit::Clear(SoundListView* view) {
    if (view != nullptr) {
        view->DeleteAllSoundRows(); // under the exclusive lock: must not reach back into the catalogue
    }
    m_catalogue.m_data->Clear();
}

std::optional<SoundEntry> SoundCatalogue::Edit::Find(std::uint16_t number) const {
    if (const SoundEntry* entry = m_catalogue.m_data->Find(number)) {
        return *entry;
    }
    return std::nullopt;
}

std::size_t SoundCatalogue::Edit::Count() const {
    return m_catalogue.m_data->Count();
}

std::size_t SoundCatalogue::Walk::Count() const {
    return m_data.Count();
}
