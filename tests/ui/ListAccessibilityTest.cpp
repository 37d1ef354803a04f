// The sound list as a screen reader sees it, on its own: cells that follow their sounds as rows
// move, come and go, at no cost to the rows' changes however many cells were read.

#include "PlainRowsModel.h"
#include "SoundListAccessible.h"
#include "SoundTableView.h"

#include <QAccessible>
#include <QAccessibleTableInterface>
#include <QTest>

#include <functional>

class ListAccessibilityTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { InstallDialogAccessibility(); }

    void cellsFollowTheirSoundsWithoutPersistentIndexes_data() {
        QTest::addColumn<int>("rows");
        QTest::addColumn<bool>("readAll");
        QTest::addColumn<std::function<void(PlainRowsModel&)>>("change");
        const auto toEnd = [](PlainRowsModel& model) {
            for (int i = 0; i < 5; ++i)
                model.Move(0, model.rowCount());
        };
        const auto toTop = [](PlainRowsModel& model) { model.Move(model.rowCount() - 1, 0); };
        const auto shuffled = [](PlainRowsModel& model) {
            model.Move(1, model.rowCount());
            model.Insert(0, 0x7000);
            model.Move(model.rowCount() / 2, 1);
            model.Remove(model.rowCount() - 2);
        };
        QTest::newRow("3 rows, none read, moved to the end") << 3 << false << std::function(toEnd);
        QTest::newRow("3 rows, all read, moved to the end") << 3 << true << std::function(toEnd);
        QTest::newRow("300 rows, all read, moved to the end") << 300 << true << std::function(toEnd);
        QTest::newRow("300 rows, all read, last to the top") << 300 << true << std::function(toTop);
        QTest::newRow("300 rows, all read, moved, inserted, removed") << 300 << true << std::function(shuffled);
    }

    void cellsFollowTheirSoundsWithoutPersistentIndexes() {
        QFETCH(int, rows);
        QFETCH(bool, readAll);
        QFETCH(std::function<void(PlainRowsModel&)>, change);
        PlainRowsModel model(rows);
        SoundTableView view;
        view.setModel(&model);
        view.setCurrentIndex(model.index(1, 1));
        auto* list = dynamic_cast<SoundListAccessible*>(QAccessible::queryAccessibleInterface(&view));
        QVERIFY(list);
        QAccessibleTableInterface& table = *list->tableInterface();
        const qsizetype viewsOwn = model.PersistentIndexes();  // the current cell's, the selection's
        QAccessibleInterface* kept = table.cellAt(1, 0);       // sound 0002's box
        QAccessibleInterface* keptHeader = list->child(2 * 3); // and its row header
        const auto readEveryCell = [&] {
            for (int row = 0; row < model.rowCount(); ++row) {
                for (int column = 0; column < 2; ++column)
                    QCOMPARE(table.cellAt(row, column)->text(QAccessible::Name), model.index(row, column).data());
                QCOMPARE(list->child((row + 1) * 3)->text(QAccessible::Name), QString::number(row + 1));
            }
        };
        if (readAll)
            readEveryCell();
        QCOMPARE(model.PersistentIndexes(), viewsOwn);
        const int cells = list->CellCount();
        QVERIFY(cells <= 3 * (rows + 1));

        change(model);
        QCOMPARE(model.PersistentIndexes(), viewsOwn);
        // The kept cells still speak for sound 0002, from where it stands now.
        const int row = view.FindRow(QStringLiteral("0002"), 0);
        QVERIFY(row >= 0);
        QCOMPARE(kept->text(QAccessible::Name), QStringLiteral("0002"));
        QCOMPARE(list->indexOfChild(kept), (row + 1) * 3 + 1);
        QCOMPARE(list->child(list->indexOfChild(kept)), kept);
        QCOMPARE(kept->tableCellInterface()->rowIndex(), row);
        QCOMPARE(list->indexOfChild(keptHeader), (row + 1) * 3);
        QCOMPARE(keptHeader->text(QAccessible::Name), QString::number(row + 1));
        // Every position answers with what the model shows there, one cell per sound and column.
        readEveryCell();
        QVERIFY(list->CellCount() <= 3 * (model.rowCount() + 1));
        if (readAll)
            QVERIFY(list->CellCount() >= cells - 3);
    }

    void cellsOfRemovedSoundsAreDropped() {
        PlainRowsModel model(4);
        SoundTableView view;
        view.setModel(&model);
        auto* list = dynamic_cast<SoundListAccessible*>(QAccessible::queryAccessibleInterface(&view));
        QVERIFY(list);
        QAccessibleInterface* gone = list->tableInterface()->cellAt(2, 1);
        QAccessibleInterface* stays = list->tableInterface()->cellAt(3, 0);
        const int cells = list->CellCount();
        model.Remove(2);
        QVERIFY(!gone->isValid());
        QCOMPARE(list->indexOfChild(gone), -1);
        QCOMPARE(stays->text(QAccessible::Name), QStringLiteral("0004"));
        QCOMPARE(list->indexOfChild(stays), 3 * 3 + 1);
        // As the view announces it with a screen reader on.
        QAccessibleTableModelChangeEvent removed(&view, QAccessibleTableModelChangeEvent::RowsRemoved);
        list->tableInterface()->modelChange(&removed);
        QCOMPARE(list->CellCount(), cells - 1);
        QAccessibleTableModelChangeEvent reset(&view, QAccessibleTableModelChangeEvent::ModelReset);
        list->tableInterface()->modelChange(&reset);
        QCOMPARE(list->CellCount(), 0);
        QCOMPARE(list->tableInterface()->cellAt(2, 0)->text(QAccessible::Name), QStringLiteral("0004"));
    }
};

QTEST_MAIN(ListAccessibilityTest)
#include "ListAccessibilityTest.moc"
