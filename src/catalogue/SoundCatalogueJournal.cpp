#include "SoundCatalogueJournal.h"

void SoundCatalogueJournal::Record(Kind kind, std::uint16_t number) {
    if (m_changes.size() == kKept) {
        // Forget the lot rather than shift: only views that far behind are affected.
        m_base = Revision();
        m_wholeBefore = m_base;
        m_changes.clear();
    }
    m_changes.push_back(Change{kind, number});
}

void SoundCatalogueJournal::RecordReplaced() {
    m_base = Revision() + 1;
    m_wholeBefore = m_base;
    m_changes.clear();
}

bool SoundCatalogueJournal::Since(std::uint64_t revision, std::vector<Change>& changes) const {
    if (revision < m_wholeBefore || revision > Revision()) {
        return false;
    }
    changes.insert(changes.end(), m_changes.begin() + static_cast<std::ptrdiff_t>(revision - m_base), m_changes.end());
    return true;
}
