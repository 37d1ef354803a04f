#pragma once

#include <QAbstractTableModel>

#include <cstdint>
#include <vector>

// A list of sounds shown as the dialog's list shows them (the number as four hex digits with a check
// box, a comment), changed as the dialog changes it: rows moved, inserted, removed. For the view and
// its accessibility interface on their own.
class PlainRowsModel final : public QAbstractTableModel {
public:
    explicit PlainRowsModel(int rows) {
        for (int row = 0; row < rows; ++row)
            m_numbers.push_back(static_cast<std::uint16_t>(row + 1));
    }

    int rowCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : static_cast<int>(m_numbers.size());
    }
    int columnCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : 2; }
    QVariant data(const QModelIndex& index, int role) const override {
        const std::uint16_t number = m_numbers[static_cast<std::size_t>(index.row())];
        if (role == Qt::CheckStateRole && index.column() == 0)
            return Qt::Unchecked;
        if (role != Qt::DisplayRole)
            return {};
        if (index.column() == 0)
            return QStringLiteral("%1").arg(number, 4, 16, QLatin1Char('0'));
        return QStringLiteral("足音と扉の音、遠くの鐘の音%1").arg(number, 5, 10, QLatin1Char('0'));
    }
    Qt::ItemFlags flags(const QModelIndex& index) const override {
        return QAbstractTableModel::flags(index) | (index.column() == 0 ? Qt::ItemIsUserCheckable : Qt::NoItemFlags);
    }

    // Qt keeps these up to date on every change of the rows.
    qsizetype PersistentIndexes() const { return persistentIndexList().size(); }

    void Move(int row, int destination) {
        if (!beginMoveRows({}, row, row, {}, destination))
            return;
        const std::uint16_t number = m_numbers[static_cast<std::size_t>(row)];
        m_numbers.erase(m_numbers.begin() + row);
        m_numbers.insert(m_numbers.begin() + (destination > row ? destination - 1 : destination), number);
        endMoveRows();
    }
    void Insert(int row, std::uint16_t number) {
        beginInsertRows({}, row, row);
        m_numbers.insert(m_numbers.begin() + row, number);
        endInsertRows();
    }
    void Remove(int row) {
        beginRemoveRows({}, row, row);
        m_numbers.erase(m_numbers.begin() + row);
        endRemoveRows();
    }

private:
    std::vector<std::uint16_t> m_numbers;
};
