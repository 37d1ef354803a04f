#include "SoundTableView.h"

#include <algorithm>

#include <QCoreApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStyledItemDelegate>

namespace {

// Draws the cells as usual but leaves the check boxes to the view: Qt's delegate would toggle them
// on the button's release, and on the space bar a second time.
class SoundItemDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QRect CheckBoxRect(const QStyleOptionViewItem& base, const QModelIndex& index, const QWidget* widget) const {
        QStyleOptionViewItem option(base);
        initStyleOption(&option, index);
        if (!(option.features & QStyleOptionViewItem::HasCheckIndicator))
            return {};
        const QStyle* style = widget ? widget->style() : nullptr;
        return style ? style->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, widget) : QRect();
    }

protected:
    bool editorEvent(QEvent*, QAbstractItemModel*, const QStyleOptionViewItem&, const QModelIndex&) override {
        return false;
    }
};

} // namespace

SoundTableView::SoundTableView(QWidget* parent) : QTableView(parent) {
    setItemDelegate(new SoundItemDelegate(this));
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
}

QRect SoundTableView::CheckBoxRect(int row) const {
    if (!model() || row < 0 || row >= model()->rowCount())
        return {};
    const QModelIndex index = model()->index(row, 0);
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    option.rect = visualRect(index);
    return static_cast<const SoundItemDelegate*>(itemDelegate())->CheckBoxRect(option, index, this);
}

void SoundTableView::ToggleCheckBox(int row) {
    if (!model() || row < 0 || row >= model()->rowCount())
        return;
    const QModelIndex box = model()->index(row, 0);
    if (!(model()->flags(box) & Qt::ItemIsUserCheckable))
        return;
    const bool ticked = box.data(Qt::CheckStateRole).toInt() == Qt::Checked;
    model()->setData(box, ticked ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole);
}

void SoundTableView::ClickCheckBox(int row) {
    if (!model() || row < 0 || row >= model()->rowCount())
        return;
    ToggleCheckBox(row);
    setCurrentIndex(model()->index(row, 0));
    emit Clicked(row);
}

bool SoundTableView::ToggleBoxAt(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return false;
    const QPoint position = event->position().toPoint();
    const QModelIndex index = indexAt(position);
    if (!index.isValid() || index.column() != 0 || !CheckBoxRect(index.row()).contains(position))
        return false;
    ToggleCheckBox(index.row());
    return true;
}

void SoundTableView::mousePressEvent(QMouseEvent* event) {
    // The box first, then the selection: the row is loaded into the editor as it now stands.
    ToggleBoxAt(event);
    QTableView::mousePressEvent(event);
}

void SoundTableView::mouseDoubleClickEvent(QMouseEvent* event) {
    // The second press of a double click is a press on the box as well.
    if (!ToggleBoxAt(event))
        QTableView::mouseDoubleClickEvent(event);
}

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
    ToggleCheckBox(current.row());
    event->accept();
}

void SoundTableView::scrollContentsBy(int dx, int dy) {
    QTableView::scrollContentsBy(dx, dy);
    if (dy != 0)
        AlignTopRow();
}

void SoundTableView::updateGeometries() {
    QTableView::updateGeometries();
    AlignTopRow();
}

void SoundTableView::AlignTopRow() {
    QHeaderView& rows = *verticalHeader();
    if (rows.count() == 0)
        return;
    const int top = std::clamp(verticalScrollBar()->value(), 0, rows.count() - 1);
    const int aligned = rows.sectionPosition(rows.logicalIndex(top));
    const int offset = rows.offset();
    if (offset == aligned)
        return;
    rows.setOffset(aligned);
    viewport()->scroll(0, offset - aligned);
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
    if (rows != m_laidOutRows) {
        // The scroll range follows the row count only when the view next lays itself out; bring
        // it up to date now, and the scroll bars with it, so the last row is measured against the
        // final viewport.
        m_laidOutRows = rows;
        updateGeometries();
        QEvent layout(QEvent::LayoutRequest);
        QCoreApplication::sendEvent(this, &layout);
    }
    const QModelIndex last = model()->index(rows - 1, 0);
    const QRect shown = visualRect(last);
    if (shown.top() >= 0 && shown.bottom() < viewport()->height())
        return; // already wholly in view: the scroll position stays
    const int column = horizontalScrollBar()->value();
    scrollTo(last, QAbstractItemView::EnsureVisible);
    horizontalScrollBar()->setValue(column);
}
