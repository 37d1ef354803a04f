#pragma once

#include "MessageBoxSink.h"

class QWidget;

// A message box owned by `owner`, OK only, no icon.
class DialogMessageBox final : public MessageBoxSink {
public:
    explicit DialogMessageBox(QWidget& owner) : m_owner(owner) {}
    void ShowMessage(const QString& text, const QString& caption) override;

private:
    QWidget& m_owner;
};
