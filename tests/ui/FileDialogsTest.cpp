// The file dialogs as the program shows them (Qt's own file chooser, driven as a user would: a name
// typed, the dialog accepted, the overwrite question answered), Qt's translations, and the error
// message box.

#include "DialogFileChooser.h"
#include "DialogMessageBox.h"
#include "QtTranslations.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTranslator>

#include <functional>

// Runs `act` on the first visible top-level `T` once it is shown (polled, so it also works inside
// that window's own event loop); gives up after a generous hang guard.
template <class T> static void WhenShown(std::function<void(T&)> act) {
    auto* timer = new QTimer;
    auto* waited = new int(0);
    QObject::connect(timer, &QTimer::timeout, [timer, waited, act] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* shown = qobject_cast<T*>(widget); shown && shown->isVisible()) {
                timer->stop();
                timer->deleteLater();
                delete waited;
                act(*shown);
                return;
            }
        }
        if (++*waited > 3000) {
            timer->stop();
            timer->deleteLater();
            delete waited;
        }
    });
    timer->start(10);
}

// What the dialog's Save or Open button does.
static void Accept(QFileDialog& dialog) {
    QMetaObject::invokeMethod(&dialog, "accept", Qt::DirectConnection);
}

static void TypeAndAccept(QFileDialog& dialog, const QString& folder, const QString& name) {
    dialog.setDirectory(folder);
    auto* edit = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    QVERIFY(edit);
    edit->setText(name);
    Accept(dialog);
}

static void Answer(QMessageBox& box, QMessageBox::StandardButton button) {
    box.button(button)->click();
}

class FileDialogsTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_folder;
    QString m_workingFolder;
    QTimer m_hangGuard; // a check that failed inside a dialog leaves it open: close it

private slots:
    void init() {
        m_workingFolder = QDir::currentPath();
        m_hangGuard.setSingleShot(true);
        m_hangGuard.callOnTimeout([] {
            for (QWidget* widget : QApplication::topLevelWidgets())
                if (auto* dialog = qobject_cast<QDialog*>(widget); dialog && dialog->isVisible())
                    dialog->reject();
        });
        m_hangGuard.start(30000);
    }
    void cleanup() {
        m_hangGuard.stop();
        QCOMPARE(QDir::currentPath(), m_workingFolder); // neither dialog moves it
    }

    void saveAddsTheSuffixAndAsksBeforeReplacing() {
        DialogFileChooser chooser;
        QStringList filters;
        QString title;
        WhenShown<QFileDialog>([&](QFileDialog& dialog) {
            filters = dialog.nameFilters();
            title = dialog.windowTitle();
            QCOMPARE(dialog.acceptMode(), QFileDialog::AcceptSave);
            QCOMPARE(dialog.defaultSuffix(), QStringLiteral("xml"));
            TypeAndAccept(dialog, m_folder.path(), QStringLiteral("catalogue"));
        });
        QCOMPARE(chooser.ChooseSavePath(), std::optional<QString>(m_folder.filePath(QStringLiteral("catalogue.xml"))));
        QCOMPARE(filters, QStringList{QStringLiteral("xmlデータ(*.xml)")});
        QCOMPARE(title, QStringLiteral("名前を付けて保存"));

        // An existing file: the question comes first; "No" leaves the dialog open, "Yes" takes it.
        QFile existing(m_folder.filePath(QStringLiteral("old.xml")));
        QVERIFY(existing.open(QIODevice::WriteOnly));
        existing.close();
        QStringList questions;
        WhenShown<QFileDialog>([&](QFileDialog& dialog) {
            WhenShown<QMessageBox>([&](QMessageBox& question) {
                questions << question.text();
                WhenShown<QMessageBox>([&](QMessageBox& again) {
                    questions << again.text();
                    Answer(again, QMessageBox::Yes);
                });
                Answer(question, QMessageBox::No);
                QVERIFY(dialog.isVisible());
                Accept(dialog);
            });
            TypeAndAccept(dialog, m_folder.path(), QStringLiteral("old.xml"));
        });
        QCOMPARE(chooser.ChooseSavePath(), std::optional<QString>(existing.fileName()));
        QCOMPARE(questions.size(), 2);
        QVERIFY(questions.front().contains(QStringLiteral("old.xml")));
    }

    void openTakesANewNameButNotAMissingFolder() {
        DialogFileChooser chooser;
        WhenShown<QFileDialog>([&](QFileDialog& dialog) {
            QCOMPARE(dialog.acceptMode(), QFileDialog::AcceptOpen);
            QCOMPARE(dialog.nameFilters(), QStringList{QStringLiteral("xmlデータ(*.xml)")});
            QCOMPARE(dialog.windowTitle(), QStringLiteral("開く"));
            TypeAndAccept(dialog, m_folder.path(), QStringLiteral("not-yet.xml"));
        });
        QCOMPARE(chooser.ChooseOpenPath(), std::optional<QString>(m_folder.filePath(QStringLiteral("not-yet.xml"))));

        QString warning;
        WhenShown<QFileDialog>([&](QFileDialog& dialog) {
            WhenShown<QMessageBox>([&](QMessageBox& box) {
                warning = box.text();
                Answer(box, QMessageBox::Ok);
                WhenShown<QFileDialog>([](QFileDialog& asked) { asked.reject(); });
            });
            TypeAndAccept(dialog, m_folder.path(), QStringLiteral("no-such-folder/a.xml"));
        });
        QCOMPARE(chooser.ChooseOpenPath(), std::nullopt);
        QVERIFY(warning.contains(QStringLiteral("パスが存在しません")));
    }

    void japaneseDesktopGetsJapaneseFileDialogs() {
        QVERIFY(InstallQtTranslations(*qApp, QLocale(QLocale::Japanese, QLocale::Japan)));
        QFile existing(m_folder.filePath(QStringLiteral("old.xml")));
        QVERIFY(existing.open(QIODevice::WriteOnly));
        existing.close();
        QString question;
        QString cancel;
        DialogFileChooser chooser;
        WhenShown<QFileDialog>([&](QFileDialog& dialog) {
            cancel = dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel)->text();
            WhenShown<QMessageBox>([&](QMessageBox& box) {
                question = box.text();
                Answer(box, QMessageBox::Yes);
            });
            TypeAndAccept(dialog, m_folder.path(), QStringLiteral("old.xml"));
        });
        QVERIFY(chooser.ChooseSavePath().has_value());
        QVERIFY2(!question.contains(QStringLiteral("already exists")), qPrintable(question));
        QVERIFY2(cancel.contains(QStringLiteral("キャンセル")), qPrintable(cancel));
        for (QTranslator* translator : qApp->findChildren<QTranslator*>()) {
            QCoreApplication::removeTranslator(translator);
            delete translator;
        }
        QVERIFY(!InstallQtTranslations(*qApp, QLocale(QLocale::Cornish)));
    }

    void errorMessageShowsThePathAsTyped() {
        QWidget owner;
        DialogMessageBox messages(owner);
        const QString path = QStringLiteral("/tmp/a<b>bold</b>&amp;.xml");
        QString shown;
        Qt::TextFormat format = Qt::RichText;
        WhenShown<QMessageBox>([&](QMessageBox& box) {
            shown = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))->text();
            format = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))->textFormat();
            QCOMPARE(box.windowTitle(), QStringLiteral("書き込みエラー"));
            QCOMPARE(box.standardButtons(), QMessageBox::Ok);
            QCOMPARE(box.icon(), QMessageBox::NoIcon);
            Answer(box, QMessageBox::Ok);
        });
        messages.ShowMessage(path + QStringLiteral(" に書き込みできませんでした。"), QStringLiteral("書き込みエラー"));
        QCOMPARE(shown, path + QStringLiteral(" に書き込みできませんでした。"));
        QCOMPARE(format, Qt::PlainText);
    }
};

QTEST_MAIN(FileDialogsTest)
#include "FileDialogsTest.moc"
