#include "DialogMessageBox.h"

#include <QMessageBox>

void DialogMessageBox::ShowMessage(const QString& text, const QString& caption) {
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, &m_owner);
    // Shown exactly as given: a file named "a<b>bold</b>.xml" is no markup.
    box.setTextFormat(Qt::PlainText);
    box.exec();
}
