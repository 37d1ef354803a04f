#include "SoundListCellAccessible.h"

#include "SoundTableView.h"

#include <QAccessible>
#include <QHeaderView>

SoundListCellAccessible::SoundListCellAccessible(SoundTableView* view, Kind kind, int row, int column)
    : m_view(view), m_kind(kind), m_column(kind == Kind::RowHeader ? -1 : column), m_row(row),
      m_revision(view ? view->RowsRevision() : 0) {
    if (FollowsRow() && view)
        m_key = view->RowKey(row);
}

int SoundListCellAccessible::Row() const {
    if (!FollowsRow() || !m_view || m_key.isEmpty())
        return -1;
    if (m_revision != m_view->RowsRevision()) {
        m_row = m_view->FindRow(m_key, m_row);
        m_revision = m_view->RowsRevision();
    }
    return m_row;
}

QModelIndex SoundListCellAccessible::Index() const {
    const int row = Row();
    return row < 0 ? QModelIndex() : m_view->model()->index(row, m_kind == Kind::Cell ? m_column : 0);
}

bool SoundListCellAccessible::isValid() const {
    if (!m_view || !m_view->model())
        return false;
    return !FollowsRow() || Row() >= 0;
}

int SoundListCellAccessible::ChildIndex() const {
    if (!isValid())
        return -1;
    // As the view counts them: a first row of column headers, a first column of row headers.
    const int columns = m_view->model()->columnCount() + 1;
    switch (m_kind) {
    case Kind::Corner:
        return 0;
    case Kind::ColumnHeader:
        return 1 + m_column;
    case Kind::RowHeader:
        return (Row() + 1) * columns;
    case Kind::Cell:
        return (Row() + 1) * columns + m_column + 1;
    }
    return -1;
}

QWindow* SoundListCellAccessible::window() const {
    return m_view ? m_view->window()->windowHandle() : nullptr;
}

QAccessibleInterface* SoundListCellAccessible::parent() const {
    return m_view ? QAccessible::queryAccessibleInterface(m_view) : nullptr;
}

QAccessibleInterface* SoundListCellAccessible::table() const {
    return parent();
}

QString SoundListCellAccessible::text(QAccessible::Text t) const {
    if (isValid() && t == QAccessible::Description && m_kind == Kind::Cell)
        return Index().data(Qt::AccessibleDescriptionRole).toString(); // the game's name for the sound
    if (!isValid() || (t != QAccessible::Name && t != QAccessible::Value))
        return {};
    switch (m_kind) {
    case Kind::Corner:
        return {};
    case Kind::ColumnHeader:
        return m_view->model()->headerData(m_column, Qt::Horizontal).toString();
    case Kind::RowHeader:
        return QString::number(Row() + 1);
    case Kind::Cell:
        return Index().data(Qt::DisplayRole).toString();
    }
    return {};
}

QRect SoundListCellAccessible::rect() const {
    if (!isValid())
        return {};
    QRect local;
    const QWidget* area = m_view->viewport();
    switch (m_kind) {
    case Kind::Corner:
        return {};
    case Kind::ColumnHeader: {
        const QHeaderView& header = *m_view->horizontalHeader();
        area = &header;
        local = QRect(header.sectionViewportPosition(m_column), 0, header.sectionSize(m_column), header.height());
        break;
    }
    case Kind::RowHeader: {
        const QHeaderView& header = *m_view->verticalHeader();
        area = &header;
        const int row = Row();
        local = QRect(0, header.sectionViewportPosition(row), header.width(), header.sectionSize(row));
        break;
    }
    case Kind::Cell:
        local = m_view->visualRect(Index());
        break;
    }
    return QRect(area->mapToGlobal(local.topLeft()), local.size());
}

QAccessible::Role SoundListCellAccessible::role() const {
    switch (m_kind) {
    case Kind::Corner:
        return QAccessible::Pane;
    case Kind::ColumnHeader:
        return QAccessible::ColumnHeader;
    case Kind::RowHeader:
        return QAccessible::RowHeader;
    case Kind::Cell:
        // Qt's bridge to the desktop's accessibility bus does not pass the checkable state on (it
        // does not for a check box either): the number cell says what it is by its role.
        return IsCheckBox() ? QAccessible::CheckBox : QAccessible::Cell;
    }
    return QAccessible::NoRole;
}

bool SoundListCellAccessible::IsCheckBox() const {
    if (m_kind != Kind::Cell)
        return false;
    const QModelIndex index = Index();
    return index.isValid() && (index.flags() & Qt::ItemIsUserCheckable) && index.data(Qt::CheckStateRole).isValid();
}

QAccessible::State SoundListCellAccessible::state() const {
    QAccessible::State state;
    if (!isValid()) {
        state.invalid = true;
        return state;
    }
    if (m_kind != Kind::Cell)
        return state;
    const QModelIndex index = Index();
    const QRect shown = m_view->visualRect(index);
    if (!m_view->viewport()->rect().intersects(shown))
        state.invisible = true;
    state.selectable = true;
    state.focusable = true;
    state.selected = isSelected();
    state.focused = m_view->currentIndex().row() == index.row() && m_view->hasFocus();
    if (IsCheckBox()) {
        state.checkable = true;
        state.checked = index.data(Qt::CheckStateRole).toInt() == Qt::Checked;
    }
    return state;
}

void* SoundListCellAccessible::interface_cast(QAccessible::InterfaceType type) {
    if (type == QAccessible::TableCellInterface)
        return static_cast<QAccessibleTableCellInterface*>(this);
    if (type == QAccessible::ActionInterface)
        return static_cast<QAccessibleActionInterface*>(this);
    return nullptr;
}

bool SoundListCellAccessible::isSelected() const {
    return isValid() && m_kind == Kind::Cell && m_view->selectionModel() &&
           m_view->selectionModel()->isSelected(Index());
}

QList<QAccessibleInterface*> SoundListCellAccessible::columnHeaderCells() const {
    QAccessibleInterface* list = table();
    if (!list || m_kind != Kind::Cell || !isValid())
        return {};
    return {list->child(1 + m_column)};
}

QList<QAccessibleInterface*> SoundListCellAccessible::rowHeaderCells() const {
    QAccessibleInterface* list = table();
    if (!list || m_kind != Kind::Cell || !isValid())
        return {};
    return {list->child((Row() + 1) * (m_view->model()->columnCount() + 1))};
}

int SoundListCellAccessible::columnIndex() const {
    return m_kind == Kind::ColumnHeader || m_kind == Kind::Cell ? m_column : -1;
}

int SoundListCellAccessible::rowIndex() const {
    return Row();
}

QStringList SoundListCellAccessible::actionNames() const {
    QStringList names;
    if (IsCheckBox())
        names.append(toggleAction());
    // The row's context menu, as actions of each of its cells.
    if (m_kind == Kind::Cell && isValid())
        names.append(m_view->RowCommands());
    return names;
}

void SoundListCellAccessible::doAction(const QString& actionName) {
    if (actionName == toggleAction() && IsCheckBox())
        m_view->ClickCheckBox(Row());
    else if (m_kind == Kind::Cell && isValid() && Row() >= 0 && m_view->RowCommands().contains(actionName))
        m_view->RequestRowCommand(Row(), actionName);
}

QStringList SoundListCellAccessible::keyBindingsForAction(const QString& actionName) const {
    if (actionName == toggleAction() && IsCheckBox())
        return {QStringLiteral("Space")};
    return {};
}
