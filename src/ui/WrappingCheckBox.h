#pragma once

#include <QCheckBox>

// A check box whose caption wraps at the control's right edge and keeps its own line breaks, as a
// Windows check box with a multi-line caption does. The whole control is clickable.
class WrappingCheckBox final : public QCheckBox {
    Q_OBJECT

public:
    explicit WrappingCheckBox(const QString& text, QWidget* parent = nullptr) : QCheckBox(text, parent) {}

protected:
    void paintEvent(QPaintEvent* event) override;
    bool hitButton(const QPoint& pos) const override;

private:
    QRect TextRect() const;
};
