#include "TemplateGroupBox.h"

#include <QPainter>
#include <QStyle>

// The caption's distance from the box's left edge, and the blank kept on either side of it.
static constexpr int kCaptionInset = 7;
static constexpr int kCaptionPadding = 1;

int TemplateGroupBox::FrameTop() const {
    return fontMetrics().height() / 2;
}

QRect TemplateGroupBox::CaptionRect() const {
    if (title().isEmpty())
        return {};
    const QFontMetrics metrics = fontMetrics();
    return QRect(kCaptionInset, 0, metrics.horizontalAdvance(title()) + 2 * kCaptionPadding, metrics.height());
}

void TemplateGroupBox::paintEvent(QPaintEvent*) {
    // An etched frame, as Windows draws it: a dark line with a light one inside and below it. (The
    // style's own group box frame would start below the caption.)
    QPainter painter(this);
    const QRect frame = rect().adjusted(0, FrameTop(), -2, -2);
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawRect(frame);
    painter.setPen(palette().color(QPalette::Light));
    painter.drawRect(frame.translated(1, 1));
    const QRect caption = CaptionRect();
    if (caption.isEmpty())
        return;
    painter.fillRect(caption, palette().brush(backgroundRole()));
    style()->drawItemText(&painter, caption, Qt::AlignCenter | Qt::TextSingleLine, palette(), isEnabled(), title(),
                          QPalette::WindowText);
}
