#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

#include <cstdint>
#include <span>

// The main dialog's layout as the Windows resource describes it (template 102): controls in
// template order, which is also the tab order, with positions in dialog units. The dialog builds
// its widgets from this table and converts the units exactly as the Windows dialog manager does.

enum class ControlKind {
    PushButton,
    GroupBox,
    ListView,
    Label,
    CheckBox,
    LineEdit,
    TextEdit,
};

// Style notes that the widgets reproduce.
enum ControlStyle : std::uint32_t {
    kTabStop = 1u << 0,
    kDefaultButton = 1u << 1, // drawn as the default button; Enter still never presses it
    kMultiLine = 1u << 2,     // caption or text on several lines, wrapping at the right edge
    kAlignRight = 1u << 3,
    kAlignCentre = 1u << 4,
    kReadOnly = 1u << 5,
    kHidden = 1u << 6,
    kGroupStart = 1u << 7,
    kBorder = 1u << 8,
};

struct TemplateControl {
    int id; // -1: a control without an id (static texts, group boxes)
    ControlKind kind;
    const char* objectName;  // for tests and style sheets; empty for unnamed controls
    const char* caption;     // UTF-8; "\n" is a line break
    int x, y, width, height; // dialog units
    std::uint32_t style;
};

struct DialogTemplate {
    int id;
    const char* caption;
    int width, height; // client area, dialog units
    const char* fontFace;
    int pointSize;
    std::span<const TemplateControl> controls;
};

const DialogTemplate& MainDialogTemplate();

// Windows' MulDiv: a * b / c rounded to the nearest integer, halves away from zero; -1 when c is 0.
int MulDiv(int a, int b, int c);

// Dialog units to pixels for a dialog font: base units from the font's average character width
// (the 52 letters, rounded) and its height; x is in quarters and y in eighths of them.
class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);
    DialogUnits(int baseX, int baseY) : m_baseX(baseX), m_baseY(baseY) {}

    int BaseX() const { return m_baseX; }
    int BaseY() const { return m_baseY; }
    int ToPixelsX(int x) const { return MulDiv(x, m_baseX, 4); }
    int ToPixelsY(int y) const { return MulDiv(y, m_baseY, 8); }
    QRect ToPixels(int x, int y, int width, int height) const;
    QRect ToPixels(const TemplateControl& control) const;
    QSize ToPixels(QSize size) const;

private:
    int m_baseX;
    int m_baseY;
};

// The dialog font: "MS UI Gothic" 9 pt, which falls back to IPAPGothic (drawn to the same metrics)
// where the Windows font is not installed.
QFont DialogFont(const DialogTemplate& dialogTemplate);
