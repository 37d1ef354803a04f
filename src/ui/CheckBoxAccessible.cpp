#include "CheckBoxAccessible.h"

#include <QAbstractButton>

CheckBoxAccessible::CheckBoxAccessible(QAbstractButton* box) : QAccessibleWidget(box, QAccessible::CheckBox) {}

QAbstractButton* CheckBoxAccessible::Box() const {
    return static_cast<QAbstractButton*>(widget());
}

QString CheckBoxAccessible::text(QAccessible::Text t) const {
    if (t == QAccessible::Name && widget()->accessibleName().isEmpty()) {
        QString caption = Box()->text();
        caption.remove(QLatin1Char('\n')); // a caption's line break is layout, not a word break
        return caption.remove(QLatin1Char('&'));
    }
    return QAccessibleWidget::text(t);
}

QAccessible::State CheckBoxAccessible::state() const {
    QAccessible::State state = QAccessibleWidget::state();
    state.checkable = true;
    state.checked = Box()->isChecked();
    return state;
}

QStringList CheckBoxAccessible::actionNames() const {
    QStringList names;
    if (widget()->isEnabled())
        names << toggleAction();
    return names + QAccessibleWidget::actionNames();
}

void CheckBoxAccessible::doAction(const QString& actionName) {
    if (actionName == toggleAction() || actionName == pressAction()) {
        if (widget()->isEnabled())
            Box()->click();
        return;
    }
    QAccessibleWidget::doAction(actionName);
}

QStringList CheckBoxAccessible::keyBindingsForAction(const QString& actionName) const {
    if (actionName == toggleAction())
        return {QStringLiteral("Space")};
    return QAccessibleWidget::keyBindingsForAction(actionName);
}
