#include "SoundTableView.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>
#include <QSignalBlocker>

void SoundTableView::mouseReleaseEvent(QMouseEvent* event) {
    const bool leftButton = event->button() == Qt::LeftButton;
    const QPoint position = event->position().toPoint();
    QTableView::mouseReleaseEvent(event);
    if (!leftButton)
        return;
    const QModelIndex index = indexAt(position);
    emit Clicked(index.isValid() ? index.row() : -1);
}

void SoundTableView::keyPressEvent(QKeyEvent* event) {
    const QModelIndex current = currentIndex();
    if (event->key() != Qt::Key_Space || event->modifiers() != Qt::NoModifier || !current.isValid() || !model()) {
        QTableView::keyPressEvent(event);
        return;
    }
    const QModelIndex box = current.siblingAtColumn(0);
    const bool ticked = box.data(Qt::CheckStateRole).toInt() == Qt::Checked;
    model()->setData(box, ticked ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole);
    event->accept();
}

void SoundTableView::focusInEvent(QFocusEvent* event) {
    QItemSelectionModel* selection = selectionModel();
    if (!selection || currentIndex().isValid()) {
        QTableView::focusInEvent(event);
        return;
    }
    const QSignalBlocker quiet(selection);
    QTableView::focusInEvent(event);
    selection->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
}

void SoundTableView::ShowLastRow() {
    const int rows = model() ? model()->rowCount() : 0;
    if (rows == 0)
        return;
    const int column = horizontalScrollBar()->value();
    doItemsLayout();
    // The scroll bars come and go with the row count only when the scroll area lays itself out,
    // normally later on; do it now, so the last row is measured against the final viewport.
    QEvent layout(QEvent::LayoutRequest);
    QCoreApplication::sendEvent(this, &layout);
    scrollTo(model()->index(rows - 1, 0), QAbstractItemView::EnsureVisible);
    horizontalScrollBar()->setValue(column);
}
