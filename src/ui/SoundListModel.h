#pragma once

#include "SoundEntry.h"

#include <QAbstractTableModel>

#include <vector>

// The rows of the sound list: a snapshot of the catalogue in display order. Column 0 shows the
// number as four hex digits with the mute flag as its check box; column 1 the comment on one
// line. The catalogue is not touched here: the dialog reacts to MuteChangedByUser.
class SoundListModel final : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column { NumberColumn = 0, CommentColumn = 1, ColumnCount = 2 };

    explicit SoundListModel(QObject* parent = nullptr);

    // Replaces every row at once (one model reset, no per-row work).
    void Reset(std::vector<SoundEntry> rows);
    const SoundEntry& Row(int row) const { return m_rows[static_cast<std::size_t>(row)]; }
    bool HasRow(int row) const { return row >= 0 && static_cast<std::size_t>(row) < m_rows.size(); }

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
    std::vector<SoundEntry> m_rows;
};
