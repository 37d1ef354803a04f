#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QTableView>
#include <QTimer>

#include <chrono>
#include <cstdint>

// The sound list's view, behaving as a Windows list with check boxes does:
// - a row's box is ticked or unticked as the button goes down on it (Qt would wait for the
//   release, and lose the click if the rows changed in between); the space bar toggles the current
//   row's box whichever column holds the focus;
// - it scrolls by whole rows, so the top row is never cut;
// - every left click is reported once the view has handled it (selection and box already
//   updated), with the row hit, -1 on empty space.
class SoundTableView final : public QTableView {
    Q_OBJECT

public:
    explicit SoundTableView(QWidget* parent = nullptr);

    // Every row is alike (one height, none hidden) and stays so: see RowsMoved.
    void setModel(QAbstractItemModel* model) override;

    // While sounds flood in, the list is drawn at most once every kRepaintInterval rather than
    // after each: a repaint holds the UI thread for about a millisecond, and at the interval the
    // list still shows the catalogue within 50 ms. A change after a quiet spell is drawn at once.
    // Follows the model's rows being inserted, moved or removed, and its resets.
    static constexpr std::chrono::milliseconds kRepaintInterval{40};

    // Scrolls the rows (only the rows, and only as far as needed) so that the last one is wholly in
    // view.
    void ShowLastRow();
    // Where a row's check box is drawn, in viewport coordinates; empty when the row has none.
    QRect CheckBoxRect(int row) const;
    // Toggles a row's check box as the user does (the model reports a user change).
    void ToggleCheckBox(int row);
    // What a click on a row's check box does: the box toggled, the row made current, the click
    // reported.
    void ClickCheckBox(int row);

    // Rows as the accessibility interface follows them, without a persistent index per cell read
    // (Qt walks every one of those on each moved row): a row is named by its number text, and found
    // again from where it last stood. The revision changes whenever rows come, go or move.
    std::uint64_t RowsRevision() const { return m_rowsRevision; }
    QString RowKey(int row) const;
    // The row named `key` now, looked for first around `hint`; -1 when none.
    int FindRow(const QString& key, int hint) const;

    // Commands a row offers besides its check box (its context menu's), by name: the accessibility
    // interface lists them as each cell's actions.
    void SetRowCommands(const QStringList& names) { m_rowCommands = names; }
    const QStringList& RowCommands() const { return m_rowCommands; }
    void RequestRowCommand(int row, const QString& name) { emit RowCommandRequested(row, name); }

signals:
    void Clicked(int row);
    // The right button, the menu key or Shift+F10: the row under the pointer, or the current row
    // from the keyboard (-1: none), and where on the screen the menu goes.
    void RowMenuRequested(int row, const QPoint& globalPos);
    void RowCommandRequested(int row, const QString& name);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void paintEvent(QPaintEvent* event) override;
    void updateGeometries() override;
    // Qt makes the first row current when the list gains the focus without one (Tab, or the window
    // coming back to the front); a Windows list does not, and the editor would be overwritten.
    void focusInEvent(QFocusEvent* event) override;

private:
    void PaceRepaints();
    void PaintedParts(bool enabled);
    // A row moved: with every row alike, the rows' geometry is as it was, and the rows from `first`
    // on show other sounds. Qt's view and row header would re-lay out all rows and look at each of
    // their 65,534 sections for every sound moved to the end (a millisecond, twice the paint), and
    // tell the accessibility interface that the whole table was reset.
    void RowsMoved(int first);
    // Toggles the box under a left button going down; true when there was one.
    bool ToggleBoxAt(QMouseEvent* event);

    // Qt aligns the last row with the bottom once scrolled to the end, cutting the top row; a
    // Windows list keeps the top row whole and leaves the rest blank.
    void AlignTopRow();

    std::uint64_t m_rowsRevision = 0;
    mutable std::uint64_t m_rowOfKeyRevision = ~std::uint64_t{0}; // what m_rowOfKey was built for
    mutable QHash<QString, int> m_rowOfKey;                       // built only when a row is not near where it was
    QStringList m_rowCommands;
    int m_laidOutRows = -1;     // the row count the scroll range was last brought up to date for
    QElapsedTimer m_sincePaint; // since the rows were last drawn
    QTimer m_pacedRepaint;      // runs while drawing waits for the interval to pass
};
