#include "WrappingCheckBox.h"

#include <QStyleOptionButton>
#include <QStylePainter>

QRect WrappingCheckBox::TextRect() const {
    const int indicator = style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, this);
    const int spacing = style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, this);
    return rect().adjusted(indicator + spacing, 0, 0, 0);
}

void WrappingCheckBox::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    const QString text = option.text;
    option.text.clear();
    // The indicator alone, centred vertically at the left edge.
    option.rect = style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, this);
    option.rect.moveTop((height() - option.rect.height()) / 2);
    painter.drawPrimitive(QStyle::PE_IndicatorCheckBox, option);

    const QRect textRect = TextRect();
    painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    QRect used;
    painter.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWordWrap, text, &used);
    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.rect = used.adjusted(-1, 0, 1, 0);
        painter.drawPrimitive(QStyle::PE_FrameFocusRect, focus);
    }
}

bool WrappingCheckBox::hitButton(const QPoint& pos) const {
    return rect().contains(pos);
}
