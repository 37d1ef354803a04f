#include "DialogFileChooser.h"

#include <QDir>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

static const QString kFilter = QStringLiteral("xmlデータ(*.xml)");

// Shown without an owner and waited for in a local loop, so the main dialog is not blocked.
static std::optional<QString> RunUnowned(QFileDialog& dialog) {
    QEventLoop loop;
    QObject::connect(&dialog, &QDialog::finished, &loop, &QEventLoop::quit);
    dialog.setWindowModality(Qt::NonModal);
    dialog.show();
    loop.exec();
    const QStringList files = dialog.selectedFiles();
    if (dialog.result() != QDialog::Accepted || files.isEmpty() || files.first().isEmpty())
        return std::nullopt;
    return files.first();
}

static void SetUp(QFileDialog& dialog, QFileDialog::AcceptMode mode, const QString& title) {
    dialog.setWindowTitle(title);
    dialog.setNameFilter(kFilter);
    dialog.setDefaultSuffix(QStringLiteral("xml"));
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setAcceptMode(mode);
}

std::optional<QString> DialogFileChooser::ChooseOpenPath() {
    QFileDialog dialog;
    SetUp(dialog, QFileDialog::AcceptOpen, QStringLiteral("開く"));
    // A name that does not exist is accepted (it then fails to load), a folder that does not
    // exist is not: ask again.
    for (;;) {
        std::optional<QString> path = RunUnowned(dialog);
        if (!path || QFileInfo(*path).absoluteDir().exists())
            return path;
        QMessageBox::warning(nullptr, dialog.windowTitle(),
                             *path + QStringLiteral("\nパスが存在しません。\nパスが正しいかどうか確認してください。"));
    }
}

std::optional<QString> DialogFileChooser::ChooseSavePath() {
    QFileDialog dialog;
    // Qt's dialog asks before it lets an existing file be chosen (DontConfirmOverwrite stays off).
    SetUp(dialog, QFileDialog::AcceptSave, QStringLiteral("名前を付けて保存"));
    return RunUnowned(dialog);
}
