#include "SoundListModel.h"

#include "GameSoundNames.h"

#include "NarrowText.h"
#include "SoundCatalogue.h"
#include "SoundNumber.h"

SoundListModel::SoundListModel(SoundCatalogue& catalogue, QObject* parent)
    : QAbstractTableModel(parent), m_catalogue(catalogue) {
    m_catalogue.SetObserver(this);
}

SoundListModel::~SoundListModel() {
    m_catalogue.SetObserver(nullptr);
}

const SoundEntry& SoundListModel::Row(int row) const {
    return m_catalogue.EntryAt(row);
}

void SoundListModel::EntryAboutToBeAppended(int row) {
    m_following = true;
    beginInsertRows(QModelIndex(), row, row);
}

void SoundListModel::EntryAppended() {
    endInsertRows();
    m_following = false;
}

void SoundListModel::EntryAboutToMove(int from, int to) {
    m_following = true;
    beginMoveRows(QModelIndex(), from, from, QModelIndex(), to);
}

void SoundListModel::EntryMoved() {
    endMoveRows();
    m_following = false;
}

void SoundListModel::EntryAboutToBeRemoved(int row) {
    m_following = true;
    beginRemoveRows(QModelIndex(), row, row);
}

void SoundListModel::EntryRemoved() {
    endRemoveRows();
    m_following = false;
}

void SoundListModel::EntryChanged(int row) {
    m_following = true;
    emit dataChanged(index(row, NumberColumn), index(row, CommentColumn));
    m_following = false;
}

void SoundListModel::AboutToReset() {
    m_following = true;
    beginResetModel();
}

void SoundListModel::Reset() {
    endResetModel();
    m_following = false;
}

void SoundListModel::SetGameSoundNames(GameSoundNames* names) {
    if (m_names)
        disconnect(m_names, nullptr, this, nullptr);
    m_names = names;
    if (m_names) {
        connect(m_names, &GameSoundNames::Named, this, &SoundListModel::NamesKnown);
        connect(m_names, &GameSoundNames::FolderChanged, this, &SoundListModel::AllNamesChanged);
    }
    AllNamesChanged();
}

void SoundListModel::NamesKnown(const std::vector<std::uint16_t>& numbers) {
    static const QList<int> kRoles{Qt::ToolTipRole, Qt::AccessibleDescriptionRole, PlaceholderRole};
    for (const std::uint16_t number : numbers) {
        const int row = m_catalogue.RowOf(number);
        if (row >= 0)
            emit dataChanged(index(row, NumberColumn), index(row, CommentColumn), kRoles);
    }
}

void SoundListModel::AllNamesChanged() {
    if (rowCount() > 0)
        emit dataChanged(index(0, NumberColumn), index(rowCount() - 1, CommentColumn),
                         {Qt::ToolTipRole, Qt::AccessibleDescriptionRole, PlaceholderRole});
}

int SoundListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_catalogue.ListedCount());
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
    case Qt::ToolTipRole:
    case Qt::AccessibleDescriptionRole: {
        if (!m_names)
            return {};
        QString description = m_names->Describe(entry.number);
        // The trouble with the game's files, in every row's tooltip: reported once on standard
        // error, and here for as long as it lasts.
        if (role == Qt::ToolTipRole && !m_names->Problem().isEmpty())
            description += (description.isEmpty() ? QString() : QStringLiteral("\n")) + m_names->Problem();
        return description.isEmpty() ? QVariant() : QVariant(description);
    }
    case PlaceholderRole:
        if (numberColumn || !m_names || !entry.comment.empty())
            return {};
        if (const QString name = m_names->Name(entry.number); !name.isEmpty())
            return name;
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
    if (Row(index.row()).mute != mute)
        emit MuteChangedByUser(index.row(), mute);
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
