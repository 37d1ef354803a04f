#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The catalogue's recent changes, numbered by revision, so that a view can follow the catalogue
// change by change instead of refilling itself. Not locked: SoundCatalogue guards it with its data.
class SoundCatalogueJournal {
public:
    enum class Kind : std::uint8_t {
        Appended,   // a new number at the end of the display order
        MovedToEnd, // a listed number moved to the end (its fields may have changed too)
        Removed,
        Updated, // mute or comment written (perhaps with the same values)
    };
    struct Change {
        Kind kind;
        std::uint16_t number;
        friend bool operator==(const Change&, const Change&) = default;
    };

    // At most this many changes are kept; a view further behind refills whole.
    static constexpr std::size_t kKept = 65536;

    std::uint64_t Revision() const { return m_base + m_changes.size(); }

    void Record(Kind kind, std::uint16_t number);
    // Everything was replaced (a clear, a load): every view refills whole.
    void RecordReplaced();

    // Appends the changes made after `revision`, oldest first. False when a view at `revision`
    // must refill whole instead: everything was replaced since, the changes are no longer kept,
    // or the revision is not one of this catalogue's.
    bool Since(std::uint64_t revision, std::vector<Change>& changes) const;

private:
    std::vector<Change> m_changes; // those after revision m_base
    std::uint64_t m_base = 0;
    std::uint64_t m_wholeBefore = 0; // views older than this refill whole
};
