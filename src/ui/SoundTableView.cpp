#include "SoundTableView.h"

#include "SoundListModel.h"

#include <algorithm>
#include <tuple>

#include <QAccessible>
#include <QApplication>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QHash>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMap>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStaticText>
#include <QStyledItemDelegate>

namespace {

// Draws the cells as the style does, but without asking it anew for every cell of every paint:
// each cell's text is laid out once and kept (with the substitute font's shaping, laying it out
// made up most of a repaint), where the style puts a cell's parts is worked out once per cell size,
// and a row's check box, neither selected nor current, is a picture the style drew once. A
// selected or current cell is drawn by the style as before. The check boxes are left to the view:
// Qt's delegate would toggle them on the button's release, and on the space bar a second time.
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
        option.text.clear();
        const Layout& layout = LayoutFor(option, style, widget);
        const bool plain =
            !(option.state & (QStyle::State_Selected | QStyle::State_HasFocus | QStyle::State_MouseOver)) &&
            option.backgroundBrush.style() == Qt::NoBrush;
        if (!plain) {
            style->drawControl(QStyle::CE_ItemViewItem, &option, painter, widget); // background, box, focus frame
        } else if (option.features & QStyleOptionViewItem::HasCheckIndicator) {
            painter->drawPixmap(option.rect.topLeft() + layout.check.topLeft(),
                                CheckBoxPicture(option, layout.check.size(), style, widget, painter->device()));
        }
        // A comment left empty shows the game's name for the sound, greyed: drawn only.
        const QString shown = text.isEmpty() ? index.data(SoundListModel::PlaceholderRole).toString() : text;
        if (shown.isEmpty())
            return;
        const bool placeholder = text.isEmpty();
        const QRect area = layout.text.translated(option.rect.topLeft());
        const QStaticText& laidOut = LaidOut(shown, area.width(), option.font, option.textElideMode);
        const QRect placed =
            QStyle::alignedRect(option.direction, option.displayAlignment, laidOut.size().toSize(), area);
        const QPalette::ColorGroup group = !(option.state & QStyle::State_Enabled) ? QPalette::Disabled
                                           : (option.state & QStyle::State_Active) ? QPalette::Normal
                                                                                   : QPalette::Inactive;
        painter->save();
        painter->setFont(option.font);
        painter->setPen(option.palette.color(group, placeholder ? QPalette::PlaceholderText
                                                    : (option.state & QStyle::State_Selected)
                                                        ? QPalette::HighlightedText
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
    // Where the style puts a cell's check box and text, relative to the cell's top left corner.
    struct Layout {
        QRect check;
        QRect text;
    };

    const Layout& LayoutFor(const QStyleOptionViewItem& option, const QStyle* style, const QWidget* widget) const {
        const LayoutKey key{option.rect.width(), option.rect.height(),
                            option.features & QStyleOptionViewItem::HasCheckIndicator,
                            static_cast<int>(option.displayAlignment)};
        if (const auto found = m_layouts.find(key); found != m_layouts.end())
            return found.value();
        if (m_layouts.size() >= kKept)
            m_layouts.clear();
        QStyleOptionViewItem at0(option); // without its text: where the text goes does not depend on it
        at0.rect.moveTo(0, 0);
        Layout layout;
        if (at0.features & QStyleOptionViewItem::HasCheckIndicator)
            layout.check = style->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &at0, widget);
        const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1;
        layout.text = style->subElementRect(QStyle::SE_ItemViewItemText, &at0, widget).adjusted(margin, 0, -margin, 0);
        return m_layouts.insert(key, layout).value();
    }

    const QPixmap& CheckBoxPicture(const QStyleOptionViewItem& option, QSize size, const QStyle* style,
                                   const QWidget* widget, const QPaintDevice* device) const {
        const qreal ratio = device ? device->devicePixelRatioF() : 1.0;
        const int state = static_cast<int>(option.state & (QStyle::State_Enabled | QStyle::State_Active));
        const PictureKey key{option.checkState, state, size.width(), size.height(), ratio};
        if (const auto found = m_pictures.find(key); found != m_pictures.end())
            return found.value();
        QPixmap picture(size * ratio);
        picture.setDevicePixelRatio(ratio);
        picture.fill(Qt::transparent);
        QStyleOptionViewItem box(option);
        box.rect = QRect(QPoint(0, 0), size);
        box.state = (option.state & (QStyle::State_Enabled | QStyle::State_Active)) |
                    (option.checkState == Qt::Checked     ? QStyle::State_On
                     : option.checkState == Qt::Unchecked ? QStyle::State_Off
                                                          : QStyle::State_NoChange);
        QPainter painter(&picture);
        style->drawPrimitive(QStyle::PE_IndicatorItemViewItemCheck, &box, &painter, widget);
        painter.end();
        return m_pictures.insert(key, picture).value();
    }

    const QStaticText& LaidOut(const QString& text, int width, const QFont& font, Qt::TextElideMode elide) const {
        const TextKey key{text, width};
        if (m_font != font) {
            m_laidOut.clear();
            m_font = font;
        }
        if (const auto found = m_laidOut.find(key); found != m_laidOut.end())
            return found.value();
        if (m_laidOut.size() >= kKeptTexts)
            m_laidOut.clear();
        QStaticText laidOut(QFontMetrics(font).elidedText(text, elide, width));
        laidOut.setTextFormat(Qt::PlainText);
        laidOut.prepare(QTransform(), font);
        return m_laidOut.insert(key, laidOut).value();
    }

    using TextKey = std::pair<QString, int>;
    using LayoutKey = std::tuple<int, int, bool, int>;
    using PictureKey = std::tuple<int, int, int, int, qreal>;
    static constexpr qsizetype kKeptTexts = 2048; // a few screens of rows
    static constexpr qsizetype kKept = 64;
    mutable QHash<TextKey, QStaticText> m_laidOut;
    mutable QFont m_font;
    mutable QMap<LayoutKey, Layout> m_layouts;
    mutable QMap<PictureKey, QPixmap> m_pictures;
};

} // namespace

SoundTableView::SoundTableView(QWidget* parent) : QTableView(parent) {
    setItemDelegate(new SoundItemDelegate(this));
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    // Opaque: a change of the list repaints the list alone, not the dialog and group box beneath.
    setAutoFillBackground(true);
    m_pacedRepaint.setSingleShot(true);
    connect(&m_pacedRepaint, &QTimer::timeout, this, [this] { PaintedParts(true); }); // repaints them whole
}

void SoundTableView::PaceRepaints() {
    if (m_pacedRepaint.isActive() || !m_sincePaint.isValid())
        return;
    const auto interval = static_cast<qint64>(kRepaintInterval.count());
    const qint64 since = m_sincePaint.elapsed();
    if (since >= interval)
        return;
    PaintedParts(false);
    m_pacedRepaint.start(static_cast<int>(interval - since));
}

// What a change of the rows redraws: the rows, the scroll bars, and the column headers (Qt redraws
// the bars and headers whenever it lays the rows out anew, the headers' texts shaped again).
void SoundTableView::PaintedParts(bool enabled) {
    viewport()->setUpdatesEnabled(enabled);
    verticalScrollBar()->setUpdatesEnabled(enabled);
    horizontalScrollBar()->setUpdatesEnabled(enabled);
    horizontalHeader()->viewport()->setUpdatesEnabled(enabled);
}

void SoundTableView::paintEvent(QPaintEvent* event) {
    m_sincePaint.start();
    QTableView::paintEvent(event);
}

void SoundTableView::setModel(QAbstractItemModel* model) {
    if (model == this->model())
        return;
    if (QAbstractItemModel* old = this->model())
        disconnect(old, nullptr, this, nullptr);
    ++m_rowsRevision;
    m_rowOfKey = {};
    if (model) {
        // Before the view's own reactions (connected in QTableView::setModel), and both before and
        // after each change: whoever looks a row up meanwhile sees a revision of its own.
        const auto changed = [this] { ++m_rowsRevision; };
        for (const auto signal : {&QAbstractItemModel::rowsAboutToBeInserted, &QAbstractItemModel::rowsInserted,
                                  &QAbstractItemModel::rowsAboutToBeRemoved, &QAbstractItemModel::rowsRemoved})
            connect(model, signal, this, changed);
        connect(model, &QAbstractItemModel::rowsAboutToBeMoved, this, changed);
        connect(model, &QAbstractItemModel::rowsMoved, this, changed);
        connect(model, &QAbstractItemModel::modelAboutToBeReset, this, changed);
        connect(model, &QAbstractItemModel::modelReset, this, [this] {
            ++m_rowsRevision;
            m_rowOfKey = {};
        });
        connect(model, &QAbstractItemModel::layoutAboutToBeChanged, this, changed);
        connect(model, &QAbstractItemModel::layoutChanged, this, changed);
    }
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
    // Before the view's own reaction to each change that redraws many rows; a row's data changing
    // redraws that row alone, at once.
    connect(model, &QAbstractItemModel::rowsAboutToBeInserted, this, &SoundTableView::PaceRepaints);
    connect(model, &QAbstractItemModel::rowsAboutToBeMoved, this, &SoundTableView::PaceRepaints);
    connect(model, &QAbstractItemModel::rowsAboutToBeRemoved, this, &SoundTableView::PaceRepaints);
    connect(model, &QAbstractItemModel::modelAboutToBeReset, this, &SoundTableView::PaceRepaints);
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

QString SoundTableView::RowKey(int row) const {
    if (!model() || row < 0 || row >= model()->rowCount())
        return {};
    return model()->index(row, 0).data(Qt::DisplayRole).toString();
}

int SoundTableView::FindRow(const QString& key, int hint) const {
    const int rows = model() ? model()->rowCount() : 0;
    if (key.isEmpty() || rows == 0)
        return -1;
    // A row moved or removed above shifts the others by one, a played sound goes to the end.
    constexpr int kNear = 4;
    for (int step = 0; step <= kNear; ++step) {
        if (RowKey(hint - step) == key)
            return hint - step;
        if (step > 0 && RowKey(hint + step) == key)
            return hint + step;
    }
    if (RowKey(rows - 1) == key)
        return rows - 1;
    if (m_rowOfKeyRevision != m_rowsRevision) {
        m_rowOfKey.clear();
        m_rowOfKey.reserve(rows);
        for (int row = 0; row < rows; ++row)
            m_rowOfKey.insert(RowKey(row), row);
        m_rowOfKeyRevision = m_rowsRevision;
    }
    return m_rowOfKey.value(key, -1);
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

void SoundTableView::contextMenuEvent(QContextMenuEvent* event) {
    if (event->reason() == QContextMenuEvent::Mouse) {
        emit RowMenuRequested(rowAt(event->pos().y()), event->globalPos());
    } else {
        // From the keyboard the menu opens on the current row, below its number.
        const int row = currentIndex().isValid() ? currentIndex().row() : -1;
        const QRect cell = row >= 0 ? visualRect(model()->index(row, 0)) : QRect();
        emit RowMenuRequested(row, viewport()->mapToGlobal(row >= 0 ? cell.bottomLeft() : QPoint(0, 0)));
    }
    event->accept();
}

void SoundTableView::keyPressEvent(QKeyEvent* event) {
    // Shift+F10 opens the context menu, as on Windows; Qt leaves it to the menu key.
    if (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier) {
        QContextMenuEvent menu(QContextMenuEvent::Keyboard, QPoint(), QPoint());
        contextMenuEvent(&menu);
        return;
    }
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
