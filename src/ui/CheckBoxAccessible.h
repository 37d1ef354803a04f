#pragma once

#include <QAccessibleWidget>

class QAbstractButton;

// A check box as the accessibility interface sees it. Its Toggle (and Press) action is a click, as
// an accessibility toggle is on Windows (BN_CLICKED): the dialog's handler runs exactly as for the
// mouse. Qt's own would only flip the state, which no handler hears.
class CheckBoxAccessible final : public QAccessibleWidget {
public:
    explicit CheckBoxAccessible(QAbstractButton* box);

    QString text(QAccessible::Text t) const override;
    QAccessible::State state() const override;
    QStringList actionNames() const override;
    void doAction(const QString& actionName) override;
    QStringList keyBindingsForAction(const QString& actionName) const override;

private:
    QAbstractButton* Box() const;
};
