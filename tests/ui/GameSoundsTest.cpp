#include "DialogFixture.h"
#include "GameSoundCommands.h"

#include <QAccessible>
#include <QAction>
#include <QMenu>

#include <fstream>
#include <iterator>

#ifndef KESTRUNE_DEMO_UO_DATA
#error "KESTRUNE_DEMO_UO_DATA names the demo's game folder"
#endif

// The game's own sounds behind the list: names where they do not change the dialog's template,
// and the list's commands on a row.
class GameSoundsTest : public QObject {
    Q_OBJECT

private slots:
    void namesFollowTheGameFolderAndAreNeverPartOfTheComment();
    void rowMenuAndActions();
};

namespace {

QString Tooltip(DialogFixture& f, int row) {
    return f.Model().index(row, SoundListModel::CommentColumn).data(Qt::ToolTipRole).toString();
}

QAction* Action(QMenu& menu, const char* name) {
    return menu.findChild<QAction*>(QString::fromLatin1(name));
}

} // namespace

void GameSoundsTest::namesFollowTheGameFolderAndAreNeverPartOfTheComment() {
    DialogFixture f;
    f.catalogue.AddOrUpdate(0x100, "", false, true, true, f.dialog.get());
    f.catalogue.AddOrUpdate(0x02A, "anvil", false, true, true, f.dialog.get());
    f.catalogue.AddOrUpdate(0x999, "", false, true, true, f.dialog.get()); // not in the game's files

    // Without a game folder, nothing changes.
    QCoreApplication::processEvents();
    QVERIFY(Tooltip(f, 0).isEmpty());
    QVERIFY(f.Model().index(0, SoundListModel::CommentColumn).data(SoundListModel::PlaceholderRole).isNull());

    f.hook.SetGameFolder(KESTRUNE_DEMO_UO_DATA);
    QTRY_COMPARE_WITH_TIMEOUT(Tooltip(f, 0), QStringLiteral("demo_town_bell (2.1 s)"), 20000);
    QTRY_COMPARE_WITH_TIMEOUT(Tooltip(f, 1), QStringLiteral("demo_anvil_strike (0.6 s)"), 20000);
    const QModelIndex bell = f.Model().index(0, SoundListModel::CommentColumn);
    QCOMPARE(bell.data(Qt::AccessibleDescriptionRole).toString(), QStringLiteral("demo_town_bell (2.1 s)"));
    // Greyed in place of an empty comment only; the comment itself stays empty.
    QCOMPARE(bell.data(SoundListModel::PlaceholderRole).toString(), QStringLiteral("demo_town_bell"));
    QCOMPARE(bell.data(Qt::DisplayRole).toString(), QString());
    QVERIFY(f.Model().index(1, SoundListModel::CommentColumn).data(SoundListModel::PlaceholderRole).isNull());
    QTRY_VERIFY(f.Model().index(2, 0).data(SoundListModel::PlaceholderRole).isNull());

    // The comment field's placeholder names the number typed; loading the row keeps the field empty.
    f.TypeNumber(QStringLiteral("100"));
    auto* comment = f.Find<QPlainTextEdit>("commentEdit");
    QTRY_COMPARE(comment->placeholderText(), QStringLiteral("demo_town_bell"));
    QTest::mouseClick(f.List()->viewport(), Qt::LeftButton, {}, f.List()->visualRect(bell).center());
    QCOMPARE(f.CommentText(), QString());
    f.Click("addUpdateButton");
    QCOMPARE(f.catalogue.Find(0x100)->comment, std::string());

    // Never saved.
    const QString path =
        QDir::temp().filePath(QStringLiteral("kestrune-names-%1.xml").arg(QCoreApplication::applicationPid()));
    QVERIFY(f.dialog->SaveCatalogueFile(path));
    std::ifstream file(path.toStdString());
    const std::string saved{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    QFile::remove(path);
    QVERIFY(saved.find("demo_") == std::string::npos);
}

void GameSoundsTest::rowMenuAndActions() {
    DialogFixture f;
    f.catalogue.AddOrUpdate(0x02A, "", false, true, true, f.dialog.get());

    // Without a game folder the sound cannot be heard here, and the menu says why.
    std::unique_ptr<QMenu> menu = f.dialog->SoundListMenu(0);
    QVERIFY(menu);
    QCOMPARE(Action(*menu, "hearOnThisPcAction")->text(), QStringLiteral("このPCで試聴"));
    QCOMPARE(Action(*menu, "playInGameAction")->text(), QStringLiteral("ゲームで再生"));
    QCOMPARE(Action(*menu, "stopHearingAction")->text(), QStringLiteral("停止"));
    QVERIFY(!Action(*menu, "hearOnThisPcAction")->isEnabled());
    QVERIFY(!Action(*menu, "hearOnThisPcAction")->toolTip().isEmpty());
    QVERIFY(!f.dialog->SoundListMenu(5));

    // ゲームで再生 does what 再生 does, for the row's number: a message, then the sound.
    f.hook.SetClientWindow(0x1234);
    Action(*menu, "playInGameAction")->trigger();
    QVERIFY(f.hook.WaitForInjections(2));
    const auto injected = f.hook.Injections();
    QCOMPARE(injected.back().bytes, SoundPacket(0x02A));

    // The same through the list's accessible actions.
    QAccessibleInterface* list = QAccessible::queryAccessibleInterface(f.List());
    QAccessibleInterface* cell = list->tableInterface()->cellAt(0, 1);
    cell->actionInterface()->doAction(QStringLiteral("ゲームで再生"));
    QVERIFY(f.hook.WaitForInjections(4));
}

QTEST_MAIN(GameSoundsTest)
#include "GameSoundsTest.moc"
