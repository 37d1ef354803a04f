#pragma once

#include <QGroupBox>

// A group box drawn as a Windows dialog draws one: the frame line runs through the middle of the
// caption's height and the caption stands inside the box's rectangle, a little in from its left
// edge, on the dialog's background. It only frames its neighbours; it holds no children.
class TemplateGroupBox final : public QGroupBox {
    Q_OBJECT

public:
    explicit TemplateGroupBox(const QString& title, QWidget* parent = nullptr) : QGroupBox(title, parent) {}

    // Where the frame line runs and where the caption stands, in the box's coordinates.
    int FrameTop() const;
    QRect CaptionRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;
};
