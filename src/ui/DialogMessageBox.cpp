#include "DialogMessageBox.h"

#include <QMessageBox>

void DialogMessageBox::ShowMessage(const QString& text, const QString& caption) {
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, &m_owner);
    box.exec();
}
