#pragma once

#include "SoundEntry.h"

#include <QAbstractTableModel>

#include <cstdint>
#include <vector>

class SoundCatalogue;
struct SoundCatalogueChanges;

// The rows of the sound list: the catalogue in display order, as of the revision last caught up
// with. Column 0 shows the number as four hex digits with the mute flag as its check box; column 1
// the comment on one line. The catalogue is not touched here: the dialog reacts to
// MuteChangedByUser.
class SoundListModel final : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column { NumberColumn = 0, CommentColumn = 1, ColumnCount = 2 };

    explicit SoundListModel(QObject* parent = nullptr);

    // Brings the rows up to date with the catalogue, announcing each change for what it is (rows
    // inserted, moved, removed, data changed). A model reset only when the catalogue was replaced
    // (cleared, loaded) or the rows cannot follow it change by change.
    void CatchUp(const SoundCatalogue& catalogue);
    // Replaces every row at once (one model reset, no per-row work); the next CatchUp refills.
    void Reset(std::vector<SoundEntry> rows);

    const SoundEntry& Row(int row) const { return m_entries[m_order[static_cast<std::size_t>(row)]]; }
    bool HasRow(int row) const { return row >= 0 && static_cast<std::size_t>(row) < m_order.size(); }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

signals:
    // The view changed a row's check box (a click or the space bar); the row already holds it.
    void MuteChangedByUser(int row);

private:
    // False when the rows did not hold what the changes start from.
    bool Follow(const SoundCatalogueChanges& changes);
    void Refill(std::vector<SoundEntry> rows, std::uint64_t revision);
    int RowOf(std::uint16_t number) const;

    std::vector<std::uint16_t> m_order; // row -> number
    std::vector<SoundEntry> m_entries;  // number -> entry (the listed ones only are meaningful)
    std::vector<bool> m_listed;         // number -> has a row
    std::uint64_t m_revision = 0;       // of the catalogue; 0: never caught up
};
