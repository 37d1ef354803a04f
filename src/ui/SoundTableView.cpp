#include "SoundTableView.h"

#include <algorithm>

#include <QAccessible>
#include <QApplication>
#include <QCoreApplication>
#include <QHash>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStaticText>
#include <QStyledItemDelegate>

namespace {

// Draws the cells as the style does, but with each cell's text laid out once and kept, not laid
// out anew at every paint (which, with the substitute font's shaping, made up most of a repaint).
// Leaves the check boxes to the view: Qt's delegate would toggle them on the button's release, and
// on the space bar a second time.
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

    void paint(QPainter* painter, const QStyleOptionViewItem& base, const QModelIndex& index) const override {
        QStyleOptionViewItem option(base);
        initStyleOption(&option, index);
        const QWidget* widget = option.widget;
        QStyle* style = widget ? widget->style() : QApplication::style();
        const QString text = option.text;
        option.text.clear(); // background, selection, check box and focus frame: the style's own
        style->drawControl(QStyle::CE_ItemViewItem, &option, painter, widget);
        if (text.isEmpty())
            return;
        option.text = text;
        // Where and how the style would put the text.
        const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1;
        const QRect area =
            style->subElementRect(QStyle::SE_ItemViewItemText, &option, widget).adjusted(margin, 0, -margin, 0);
        const QStaticText& laidOut = LaidOut(text, area.width(), option.font, option.textElideMode);
        const QSizeF size = laidOut.size();
        const QRect placed = QStyle::alignedRect(option.direction, option.displayAlignment, size.toSize(), area);
        const QPalette::ColorGroup group = !(option.state & QStyle::State_Enabled) ? QPalette::Disabled
                                           : (option.state & QStyle::State_Active) ? QPalette::Normal
                                                                                   : QPalette::Inactive;
        painter->save();
        painter->setFont(option.font);
        painter->setPen(option.palette.color(group, (option.state & QStyle::State_Selected) ? QPalette::HighlightedText
                                                                                            : QPalette::Text));
        painter->setClipRect(area, Qt::IntersectClip);
        painter->drawStaticText(placed.topLeft(), laidOut);
        painter->restore();
    }

protected:
    bool editorEvent(QEvent*, QAbstractItemModel*, const QStyleOptionViewItem&, const QModelIndex&) override {
        return false;
    }

private:
    const QStaticText& LaidOut(const QString& text, int width, const QFont& font, Qt::TextElideMode elide) const {
        const Key key{text, width};
        if (m_font != font) {
            m_laidOut.clear();
            m_font = font;
        }
        if (const auto found = m_laidOut.find(key); found != m_laidOut.end())
            return found.value();
        if (m_laidOut.size() >= kKept)
            m_laidOut.clear();
        QStaticText laidOut(QFontMetrics(font).elidedText(text, elide, width));
        laidOut.setTextFormat(Qt::PlainText);
        laidOut.prepare(QTransform(), font);
        return m_laidOut.insert(key, laidOut).value();
    }

    using Key = std::pair<QString, int>;
    static constexpr qsizetype kKept = 2048; // a few screens of rows
    mutable QHash<Key, QStaticText> m_laidOut;
    mutable QFont m_font;
};

} // namespace

SoundTableView::SoundTableView(QWidget* parent) : QTableView(parent) {
    setItemDelegate(new SoundItemDelegate(this));
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    // Opaque: a change of the list repaints the list alone, not the dialog and group box beneath.
    setAutoFillBackground(true);
}

void SoundTableView::setModel(QAbstractItemModel* model) {
    if (QAbstractItemModel* old = this->model())
        disconnect(old, &QAbstractItemModel::rowsMoved, this, nullptr);
    QTableView::setModel(model);
    if (!model)
        return;
    QHeaderView* rows = verticalHeader();
    disconnect(model, SIGNAL(rowsAboutToBeMoved(QModelIndex, int, int, QModelIndex, int)), rows,
               SLOT(_q_sectionsAboutToBeMoved(QModelIndex, int, int, QModelIndex, int)));
    disconnect(model, SIGNAL(rowsMoved(QModelIndex, int, int, QModelIndex, int)), rows,
               SLOT(_q_sectionsMoved(QModelIndex, int, int, QModelIndex, int)));
    disconnect(model, SIGNAL(rowsMoved(QModelIndex, int, int, QModelIndex, int)), this,
               SLOT(_q_rowsMoved(QModelIndex, int, int, QModelIndex, int)));
    connect(model, &QAbstractItemModel::rowsMoved, this,
            [this](const QModelIndex&, int first, int, const QModelIndex&, int destination) {
                RowsMoved(std::min(first, destination));
            });
}

void SoundTableView::RowsMoved(int first) {
    viewport()->update();
    if (QAccessible::isActive()) {
        QAccessibleTableModelChangeEvent event(this, QAccessibleTableModelChangeEvent::DataChanged);
        event.setFirstRow(first);
        event.setLastRow(model()->rowCount() - 1);
        event.setFirstColumn(0);
        event.setLastColumn(model()->columnCount() - 1);
        QAccessible::updateAccessibility(&event);
    }
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
        const QScrollBar& bar = *verticalScrollBar();
        if ((bar.maximum() > 0) != bar.isVisible() && verticalScrollBarPolicy() == Qt::ScrollBarAsNeeded) {
            QEvent layout(QEvent::LayoutRequest); // the scroll bar comes or goes: lay out now
            QCoreApplication::sendEvent(this, &layout);
        }
    }
    const QModelIndex last = model()->index(rows - 1, 0);
    const QRect shown = visualRect(last);
    if (shown.top() >= 0 && shown.bottom() < viewport()->height())
        return; // already wholly in view: the scroll position stays
    const int column = horizontalScrollBar()->value();
    scrollTo(last, QAbstractItemView::EnsureVisible);
    horizontalScrollBar()->setValue(column);
}
