#pragma once

#include <QTableView>

// The sound list's view. Reports every left click once the view has handled it (selection and
// check box already updated), with the row hit, -1 on empty space. The space bar ticks or unticks
// the current row's box whichever column holds the focus, as it does in a Windows list.
class SoundTableView final : public QTableView {
    Q_OBJECT

public:
    explicit SoundTableView(QWidget* parent = nullptr) : QTableView(parent) {}

    // Scrolls the rows (only the rows) so that the last one is wholly in view.
    void ShowLastRow();

signals:
    void Clicked(int row);

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    // Qt makes the first row current when the list gains the focus without one (Tab, or the window
    // coming back to the front); a Windows list does not, and the editor would be overwritten.
    void focusInEvent(QFocusEvent* event) override;
};
