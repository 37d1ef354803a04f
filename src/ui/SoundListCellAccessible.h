#pragma once

#include <QAccessibleActionInterface>
#include <QAccessibleInterface>
#include <QAccessibleTableCellInterface>
#include <QPointer>

#include <cstdint>

class SoundTableView;

// One cell of the sound list, or one of its headers, as the accessibility interface sees it. A cell
// and a row header belong to a sound (its row's number text) and follow it when rows move, found
// again lazily from where it last stood: a persistent index per cell would make Qt walk every cell
// a screen reader has read on each moved row. The number cell is the row's check box: it has the
// check box's role and a checkable state, and its Toggle action ticks or unticks the box as a click
// does.
class SoundListCellAccessible final : public QAccessibleInterface,
                                      public QAccessibleTableCellInterface,
                                      public QAccessibleActionInterface {
public:
    enum class Kind { Cell, ColumnHeader, RowHeader, Corner };

    // Cell: `row` and `column` are where it stands now. RowHeader: `row`. ColumnHeader: `column`.
    SoundListCellAccessible(SoundTableView* view, Kind kind, int row, int column);

    Kind CellKind() const { return m_kind; }
    const SoundTableView* View() const { return m_view; }
    // The sound's row now; -1 once it is gone (or for a header of a column, or the corner).
    int Row() const;
    // The child index the table gives it, from where it stands now; -1 once its row is gone.
    int ChildIndex() const;

    // QAccessibleInterface
    bool isValid() const override;
    QObject* object() const override { return nullptr; }
    QWindow* window() const override;
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QAccessibleInterface* parent() const override;
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QString text(QAccessible::Text t) const override;
    void setText(QAccessible::Text, const QString&) override {}
    QRect rect() const override;
    QAccessible::Role role() const override;
    QAccessible::State state() const override;
    void* interface_cast(QAccessible::InterfaceType type) override;

    // QAccessibleTableCellInterface
    bool isSelected() const override;
    QList<QAccessibleInterface*> columnHeaderCells() const override;
    QList<QAccessibleInterface*> rowHeaderCells() const override;
    int columnIndex() const override;
    int rowIndex() const override;
    int columnExtent() const override { return 1; }
    int rowExtent() const override { return 1; }
    QAccessibleInterface* table() const override;

    // QAccessibleActionInterface
    QStringList actionNames() const override;
    void doAction(const QString& actionName) override;
    QStringList keyBindingsForAction(const QString& actionName) const override;

private:
    bool FollowsRow() const { return m_kind == Kind::Cell || m_kind == Kind::RowHeader; }
    // The cell's model index now; invalid once its row is gone.
    QModelIndex Index() const;
    bool IsCheckBox() const;

    QPointer<SoundTableView> m_view;
    Kind m_kind;
    int m_column;
    QString m_key;                    // the sound's number text, for a cell or a row header
    mutable int m_row;                // where it stood at m_revision
    mutable std::uint64_t m_revision; // of the view's rows
};
