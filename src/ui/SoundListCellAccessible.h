#pragma once

#include <QAccessibleActionInterface>
#include <QAccessibleInterface>
#include <QAccessibleTableCellInterface>
#include <QPersistentModelIndex>
#include <QPointer>

class SoundTableView;

// One cell of the sound list, or one of its headers, as the accessibility interface sees it. A cell
// follows its row when rows move (it holds a persistent index). The number cell is the row's check
// box: it has the check box's role and a checkable state, and its Toggle action ticks or unticks the
// box as a click does.
class SoundListCellAccessible final : public QAccessibleInterface,
                                      public QAccessibleTableCellInterface,
                                      public QAccessibleActionInterface {
public:
    enum class Kind { Cell, ColumnHeader, RowHeader, Corner };

    // Cell and RowHeader: `index` is the cell's (for a row header, the row's first cell). ColumnHeader:
    // `section` is the column.
    SoundListCellAccessible(SoundTableView* view, Kind kind, const QModelIndex& index, int section = -1);

    Kind CellKind() const { return m_kind; }
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
    bool IsCheckBox() const;

    QPointer<SoundTableView> m_view;
    Kind m_kind;
    QPersistentModelIndex m_index;
    int m_section;
};
