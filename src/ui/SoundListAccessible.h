#pragma once

#include <QAccessible>
#include <QAccessibleTableInterface>
#include <QAccessibleWidget>
#include <QHash>
#include <QString>

#include <utility>
#include <vector>

class SoundListCellAccessible;
class SoundTableView;

// The sound list as the accessibility interface sees it: a table whose children are laid out as
// the view counts them (a corner, a row of column headers, then per row its header and its cells).
// Its cells are SoundListCellAccessible: the number cell is the row's check box. Cells are made when
// asked for, at most one per sound and column, and follow their rows as the list changes; a moved
// row costs nothing here, however many cells were read. Those whose row is gone are dropped.
class SoundListAccessible final : public QAccessibleWidget, public QAccessibleTableInterface {
public:
    explicit SoundListAccessible(SoundTableView* view);
    ~SoundListAccessible() override;

    // QAccessibleInterface
    QAccessibleInterface* childAt(int x, int y) const override;
    QAccessibleInterface* child(int index) const override;
    int childCount() const override;
    int indexOfChild(const QAccessibleInterface* child) const override;
    QAccessibleInterface* focusChild() const override;
    QString text(QAccessible::Text t) const override;
    void* interface_cast(QAccessible::InterfaceType type) override;

    // QAccessibleTableInterface
    QAccessibleInterface* caption() const override { return nullptr; }
    QAccessibleInterface* summary() const override { return nullptr; }
    QAccessibleInterface* cellAt(int row, int column) const override;
    int columnCount() const override;
    int rowCount() const override;
    int selectedCellCount() const override;
    int selectedColumnCount() const override { return 0; }
    int selectedRowCount() const override;
    QString columnDescription(int column) const override;
    QString rowDescription(int row) const override;
    QList<QAccessibleInterface*> selectedCells() const override;
    QList<int> selectedColumns() const override { return {}; }
    QList<int> selectedRows() const override;
    bool isColumnSelected(int) const override { return false; }
    bool isRowSelected(int row) const override;
    bool selectRow(int row) override;
    bool selectColumn(int) override { return false; }
    bool unselectRow(int row) override;
    bool unselectColumn(int) override { return false; }
    void modelChange(QAccessibleTableModelChangeEvent* event) override;

    // How many cells and headers are registered with QAccessible for the list.
    int CellCount() const { return static_cast<int>(m_cells.size() + m_headers.size()); }

private:
    SoundTableView* View() const;
    // Drops the cells whose row is gone (all of them after a reset of the rows).
    void DropStale(bool all);

    // Registered with QAccessible, owned by it. Cells and row headers by their sound's number text
    // and column (-1: the row header), the corner and column headers by child index.
    mutable QHash<std::pair<QString, int>, QAccessible::Id> m_cells;
    mutable std::vector<QAccessible::Id> m_headers;
};

// Makes the accessibility interface use CheckBoxAccessible for every check box and
// SoundListAccessible for the sound list. Once per process; later calls do nothing.
void InstallDialogAccessibility();
