#include "DialogTemplate.h"

#include <QFontMetrics>
#include <QStringList>

#include <array>
#include <cstdint>

constexpr std::array<TemplateControl, 20> kMainDialogControls{{
    {1, ControlKind::PushButton, "closeButton", "終了", 222, 204, 50, 14, kDefaultButton | kTabStop},
    {-1, ControlKind::GroupBox, "editorGroupBox", "", 150, 0, 120, 120, 0},
    {1000, ControlKind::ListView, "soundList", "", 6, 30, 138, 180, kBorder | kTabStop},
    {-1, ControlKind::Label, "numberLabel", "サウンド番号", 156, 12, 36, 8, kGroupStart},
    {-1, ControlKind::Label, "commentLabel", "コメント", 156, 48, 20, 8, kGroupStart},
    {-1, ControlKind::GroupBox, "soundListGroupBox", "サウンド一覧", 0, 0, 150, 216, 0},
    {1001, ControlKind::CheckBox, "autoAddCheckBox", "UOで再生されたサウンドを自動追加する", 156, 132, 108, 24,
     kMultiLine | kTabStop},
    {1002, ControlKind::LineEdit, "numberEdit", "", 156, 24, 30, 14, kAlignRight | kBorder | kTabStop},
    {1003, ControlKind::TextEdit, "commentEdit", "", 156, 60, 108, 30, kMultiLine | kBorder | kTabStop},
    {1004, ControlKind::PushButton, "clearButton", "クリア", 6, 12, 50, 14, kTabStop},
    {1005, ControlKind::PushButton, "loadButton", "読込", 73, 12, 36, 14, kTabStop},
    {1006, ControlKind::PushButton, "saveButton", "保存", 109, 12, 36, 14, kTabStop},
    {1007, ControlKind::PushButton, "addUpdateButton", "追加・更新", 156, 96, 42, 14, kTabStop},
    {1008, ControlKind::PushButton, "deleteButton", "削除", 222, 96, 42, 14, kTabStop},
    {1009, ControlKind::PushButton, "playButton", "再生", 187, 24, 18, 14, kTabStop},
    {1010, ControlKind::LineEdit, "hiddenEdit", "", 156, 204, 30, 14, kHidden | kReadOnly | kAlignCentre | kBorder},
    {1011, ControlKind::CheckBox, "muteCheckBox", "このサウンドは\nミュートする", 210, 18, 54, 24,
     kMultiLine | kTabStop},
    {-1, ControlKind::GroupBox, "settingsGroupBox", "設定", 150, 126, 120, 72, 0},
    {1012, ControlKind::CheckBox, "sortOnSaveCheckBox", "保存時にサウンド番号でソートする", 156, 180, 109, 10,
     kTabStop},
    {1014, ControlKind::CheckBox, "moveToEndCheckBox", "UOで再生されたサウンドはリストの最後に移動する", 156, 156, 108,
     18, kMultiLine | kTabStop},
}};

constexpr DialogTemplate kMainDialog{102, "Kestrune", 274, 220, "MS UI Gothic", 9, kMainDialogControls};

const DialogTemplate& MainDialogTemplate() {
    return kMainDialog;
}

int MulDiv(int a, int b, int c) {
    if (c == 0)
        return -1;
    const std::int64_t product = static_cast<std::int64_t>(a) * b;
    const std::int64_t half = (c < 0 ? -static_cast<std::int64_t>(c) : c) / 2;
    const bool negative = (product < 0) != (c < 0);
    const std::int64_t magnitude = (product < 0 ? -product : product) + half;
    const std::int64_t quotient = magnitude / (c < 0 ? -static_cast<std::int64_t>(c) : c);
    return static_cast<int>(negative ? -quotient : quotient);
}

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int advance =
        metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_baseX = (advance + 26) / 52;
    m_baseY = metrics.height();
}

QRect DialogUnits::ToPixels(int x, int y, int width, int height) const {
    return QRect(ToPixelsX(x), ToPixelsY(y), ToPixelsX(width), ToPixelsY(height));
}

QRect DialogUnits::ToPixels(const TemplateControl& control) const {
    return ToPixels(control.x, control.y, control.width, control.height);
}

QSize DialogUnits::ToPixels(QSize size) const {
    return QSize(ToPixelsX(size.width()), ToPixelsY(size.height()));
}

QFont DialogFont(const DialogTemplate& dialogTemplate) {
    const QString face = QString::fromUtf8(dialogTemplate.fontFace);
    if (!QFont::substitutes(face).contains(QStringLiteral("IPAPGothic")))
        QFont::insertSubstitution(face, QStringLiteral("IPAPGothic"));
    QFont font(face);
    font.setPointSize(dialogTemplate.pointSize);
    return font;
}
