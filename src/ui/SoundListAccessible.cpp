#include "SoundListAccessible.h"

#include "CheckBoxAccessible.h"
#include "SoundListCellAccessible.h"
#include "SoundTableView.h"

#include <QCheckBox>
#include <QHeaderView>
#include <QItemSelectionModel>

#include <algorithm>

using Kind = SoundListCellAccessible::Kind;

SoundListAccessible::SoundListAccessible(SoundTableView* view) : QAccessibleWidget(view, QAccessible::Table) {}

SoundListAccessible::~SoundListAccessible() {
    DropStale(true);
    for (QAccessible::Id id : m_headers)
        if (id != 0)
            QAccessible::deleteAccessibleInterface(id);
}

SoundTableView* SoundListAccessible::View() const {
    return static_cast<SoundTableView*>(widget());
}

static SoundListCellAccessible* Cell(QAccessible::Id id) {
    return static_cast<SoundListCellAccessible*>(QAccessible::accessibleInterface(id));
}

int SoundListAccessible::columnCount() const {
    return View()->model() ? View()->model()->columnCount() : 0;
}

int SoundListAccessible::rowCount() const {
    return View()->model() ? View()->model()->rowCount() : 0;
}

int SoundListAccessible::childCount() const {
    return View()->model() ? (rowCount() + 1) * (columnCount() + 1) : 0;
}

QAccessibleInterface* SoundListAccessible::child(int index) const {
    if (index < 0 || index >= childCount())
        return nullptr;
    const int columns = columnCount() + 1;
    const int row = index / columns - 1;
    const int column = index % columns - 1;
    SoundTableView* view = View();
    if (row < 0) {
        if (m_headers.size() < static_cast<std::size_t>(columns))
            m_headers.resize(static_cast<std::size_t>(columns), 0);
        QAccessible::Id& id = m_headers[static_cast<std::size_t>(index)];
        if (id == 0)
            id = QAccessible::registerAccessibleInterface(
                new SoundListCellAccessible(view, column < 0 ? Kind::Corner : Kind::ColumnHeader, -1, column));
        return QAccessible::accessibleInterface(id);
    }
    QAccessible::Id& id = m_cells[{view->RowKey(row), column}];
    if (SoundListCellAccessible* cell = id != 0 ? Cell(id) : nullptr; cell && cell->Row() == row)
        return cell;
    if (id != 0)
        QAccessible::deleteAccessibleInterface(id);
    id = QAccessible::registerAccessibleInterface(
        new SoundListCellAccessible(view, column < 0 ? Kind::RowHeader : Kind::Cell, row, column));
    return QAccessible::accessibleInterface(id);
}

int SoundListAccessible::indexOfChild(const QAccessibleInterface* child) const {
    const auto* cell = dynamic_cast<const SoundListCellAccessible*>(child);
    return cell && cell->View() == View() ? cell->ChildIndex() : -1;
}

QAccessibleInterface* SoundListAccessible::cellAt(int row, int column) const {
    if (row < 0 || column < 0 || row >= rowCount() || column >= columnCount())
        return nullptr;
    return child((row + 1) * (columnCount() + 1) + column + 1);
}

QAccessibleInterface* SoundListAccessible::childAt(int x, int y) const {
    const QPoint local = View()->viewport()->mapFromGlobal(QPoint(x, y));
    const QModelIndex index = View()->indexAt(local);
    return index.isValid() ? cellAt(index.row(), index.column()) : nullptr;
}

QAccessibleInterface* SoundListAccessible::focusChild() const {
    const QModelIndex current = View()->currentIndex();
    return current.isValid() ? cellAt(current.row(), current.column()) : nullptr;
}

QString SoundListAccessible::text(QAccessible::Text t) const {
    return QAccessibleWidget::text(t);
}

void* SoundListAccessible::interface_cast(QAccessible::InterfaceType type) {
    if (type == QAccessible::TableInterface)
        return static_cast<QAccessibleTableInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
}

int SoundListAccessible::selectedCellCount() const {
    return selectedRowCount() * columnCount();
}

int SoundListAccessible::selectedRowCount() const {
    return static_cast<int>(selectedRows().size());
}

QString SoundListAccessible::columnDescription(int column) const {
    return View()->model() ? View()->model()->headerData(column, Qt::Horizontal).toString() : QString();
}

QString SoundListAccessible::rowDescription(int row) const {
    return QString::number(row + 1);
}

QList<int> SoundListAccessible::selectedRows() const {
    QList<int> rows;
    if (QItemSelectionModel* selection = View()->selectionModel())
        for (const QModelIndex& index : selection->selectedRows())
            rows << index.row();
    std::sort(rows.begin(), rows.end());
    return rows;
}

QList<QAccessibleInterface*> SoundListAccessible::selectedCells() const {
    QList<QAccessibleInterface*> cells;
    for (int row : selectedRows())
        for (int column = 0; column < columnCount(); ++column)
            cells << cellAt(row, column);
    return cells;
}

bool SoundListAccessible::isRowSelected(int row) const {
    return selectedRows().contains(row);
}

bool SoundListAccessible::selectRow(int row) {
    if (row < 0 || row >= rowCount() || !View()->selectionModel())
        return false;
    View()->selectionModel()->select(View()->model()->index(row, 0),
                                     QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    return true;
}

bool SoundListAccessible::unselectRow(int row) {
    if (row < 0 || row >= rowCount() || !View()->selectionModel())
        return false;
    View()->selectionModel()->select(View()->model()->index(row, 0),
                                     QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
    return true;
}

void SoundListAccessible::modelChange(QAccessibleTableModelChangeEvent* event) {
    // Cells find their rows again when next asked: rows inserted or moved (the view announces a move
    // as data changed from the first row moved on) need nothing here.
    if (event->modelChangeType() == QAccessibleTableModelChangeEvent::ModelReset)
        DropStale(true);
    else if (event->modelChangeType() == QAccessibleTableModelChangeEvent::RowsRemoved)
        DropStale(false);
}

void SoundListAccessible::DropStale(bool all) {
    for (auto cell = m_cells.begin(); cell != m_cells.end();) {
        SoundListCellAccessible* made = Cell(cell.value());
        if (!all && made && made->isValid()) {
            ++cell;
            continue;
        }
        QAccessible::deleteAccessibleInterface(cell.value());
        cell = m_cells.erase(cell);
    }
}

static QAccessibleInterface* DialogAccessibleFactory(const QString& className, QObject* object) {
    if (className == QLatin1String("SoundTableView"))
        return new SoundListAccessible(static_cast<SoundTableView*>(object));
    if (className == QLatin1String("QCheckBox"))
        if (auto* box = qobject_cast<QCheckBox*>(object))
            return new CheckBoxAccessible(box);
    return nullptr;
}

void InstallDialogAccessibility() {
    static const bool installed = [] {
        QAccessible::installFactory(DialogAccessibleFactory);
        return true;
    }();
    (void)installed;
}
