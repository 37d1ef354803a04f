#include "SoundListModel.h"

#include "NarrowText.h"
#include "SoundCatalogue.h"
#include "SoundNumber.h"

#include <algorithm>
#include <unordered_map>

static constexpr std::size_t kNumbers = 0x10000;

SoundListModel::SoundListModel(QObject* parent)
    : QAbstractTableModel(parent), m_entries(kNumbers), m_listed(kNumbers, false) {}

void SoundListModel::CatchUp(const SoundCatalogue& catalogue) {
    SoundCatalogueChanges changes = catalogue.ChangesSince(m_revision);
    if (!changes.whole) {
        if (Follow(changes)) {
            m_revision = changes.revision;
            return;
        }
        changes = catalogue.ChangesSince(SoundCatalogue::kAnyRevision);
    }
    if (changes.entries.empty() && m_order.empty()) {
        m_revision = changes.revision; // nothing to announce
        return;
    }
    Refill(std::move(changes.entries), changes.revision);
}

void SoundListModel::Reset(std::vector<SoundEntry> rows) {
    Refill(std::move(rows), SoundCatalogue::kAnyRevision);
}

void SoundListModel::Refill(std::vector<SoundEntry> rows, std::uint64_t revision) {
    beginResetModel();
    for (std::uint16_t number : m_order)
        m_listed[number] = false;
    m_order.clear();
    m_order.reserve(rows.size());
    for (SoundEntry& entry : rows) {
        if (m_listed[entry.number])
            continue; // a number has one row
        m_listed[entry.number] = true;
        m_order.push_back(entry.number);
        m_entries[entry.number] = std::move(entry);
    }
    m_revision = revision;
    endResetModel();
}

bool SoundListModel::Follow(const SoundCatalogueChanges& changes) {
    using Kind = SoundCatalogueJournal::Kind;
    std::unordered_map<std::uint16_t, const SoundEntry*> now;
    for (const SoundEntry& entry : changes.entries)
        now.emplace(entry.number, &entry);
    const auto fields = [&now](std::uint16_t number) {
        const auto found = now.find(number);
        return found != now.end() ? *found->second : SoundEntry{number, false, {}};
    };
    const QModelIndex top;
    for (std::size_t i = 0; i < changes.changes.size();) {
        const SoundCatalogueJournal::Change change = changes.changes[i];
        const int rows = rowCount();
        switch (change.kind) {
        case Kind::Appended: {
            // A run of appends is one insertion.
            std::size_t end = i;
            while (end < changes.changes.size() && changes.changes[end].kind == Kind::Appended) {
                if (m_listed[changes.changes[end].number])
                    return false;
                ++end;
            }
            beginInsertRows(top, rows, rows + static_cast<int>(end - i) - 1);
            for (; i < end; ++i) {
                const std::uint16_t number = changes.changes[i].number;
                m_listed[number] = true;
                m_order.push_back(number);
                m_entries[number] = fields(number);
            }
            endInsertRows();
            continue;
        }
        case Kind::MovedToEnd: {
            const int row = RowOf(change.number);
            if (row < 0)
                return false;
            if (row != rows - 1) {
                beginMoveRows(top, row, row, top, rows);
                std::rotate(m_order.begin() + row, m_order.begin() + row + 1, m_order.end());
                endMoveRows();
            }
            break;
        }
        case Kind::Removed: {
            const int row = RowOf(change.number);
            if (row < 0)
                return false;
            beginRemoveRows(top, row, row);
            m_order.erase(m_order.begin() + row);
            m_listed[change.number] = false;
            endRemoveRows();
            break;
        }
        case Kind::Updated:
            if (!m_listed[change.number])
                return false;
            break;
        }
        ++i;
    }
    for (const SoundEntry& entry : changes.entries) {
        SoundEntry& shown = m_entries[entry.number];
        if (!m_listed[entry.number] || shown == entry)
            continue;
        shown = entry;
        const int row = RowOf(entry.number);
        emit dataChanged(index(row, NumberColumn), index(row, CommentColumn));
    }
    return true;
}

int SoundListModel::RowOf(std::uint16_t number) const {
    if (!m_listed[number])
        return -1;
    const auto found = std::find(m_order.begin(), m_order.end(), number);
    return static_cast<int>(found - m_order.begin());
}

int SoundListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_order.size());
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
    SoundEntry& entry = m_entries[m_order[static_cast<std::size_t>(index.row())]];
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
