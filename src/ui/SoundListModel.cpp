#include "SoundListModel.h"

#include "NarrowText.h"
#include "SoundNumber.h"

SoundListModel::SoundListModel(QObject* parent) : QAbstractTableModel(parent) {}

void SoundListModel::Reset(std::vector<SoundEntry> rows) {
    beginResetModel();
    m_rows = std::move(rows);
    endResetModel();
}

int SoundListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int SoundListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant SoundListModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const SoundEntry& entry = Row(index.row());
    const bool numberColumn = index.column() == NumberColumn;
    switch (role) {
    case Qt::DisplayRole: {
        if (numberColumn)
            return QString::fromStdString(FormatSoundNumber(entry.number));
        // One line per row: every line break shows as a blank.
        QString text = NarrowToQString(entry.comment);
        text.replace(QLatin1String("\r\n"), QLatin1String(" "));
        text.replace(QLatin1Char('\r'), QLatin1Char(' '));
        text.replace(QLatin1Char('\n'), QLatin1Char(' '));
        return text;
    }
    case Qt::CheckStateRole:
        if (numberColumn)
            return entry.mute ? Qt::Checked : Qt::Unchecked;
        return {};
    case Qt::TextAlignmentRole:
        return QVariant::fromValue(numberColumn ? Qt::Alignment(Qt::AlignCenter)
                                                : Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    default:
        return {};
    }
}

bool SoundListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::CheckStateRole || index.column() != NumberColumn ||
        !checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return false;
    const bool mute = value.toInt() == Qt::Checked;
    SoundEntry& entry = m_rows[static_cast<std::size_t>(index.row())];
    if (entry.mute == mute)
        return true;
    entry.mute = mute;
    emit dataChanged(index, index, {Qt::CheckStateRole});
    emit MuteChangedByUser(index.row());
    return true;
}

Qt::ItemFlags SoundListModel::flags(const QModelIndex& index) const {
    if (!index.isValid())
        return Qt::NoItemFlags;
    Qt::ItemFlags result = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
    if (index.column() == NumberColumn)
        result |= Qt::ItemIsUserCheckable;
    return result;
}

QVariant SoundListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount)
        return QAbstractTableModel::headerData(section, orientation, role);
    if (role == Qt::DisplayRole)
        return section == NumberColumn ? QStringLiteral("番号(16進)") : QStringLiteral("コメント");
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(section == NumberColumn ? Qt::Alignment(Qt::AlignCenter)
                                                           : Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    return {};
}
