// The dialog's building blocks on their own: the list model and the wake-up of the UI thread.

#include "SoundCatalogue.h"
#include "SoundListModel.h"
#include "ThreadWake.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

class UiPartsTest : public QObject {
    Q_OBJECT

private slots:
    void listModel() {
        SoundCatalogue catalogue;
        SoundListModel model(catalogue);
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy userChanges(&model, &SoundListModel::MuteChangedByUser);

        catalogue.Replace({{0x003a, false, "one\r\ntwo"}, {0xfffe, true, ""}}, nullptr);
        QCOMPARE(model.rowCount(), 2);
        QCOMPARE(model.index(0, SoundListModel::NumberColumn).data().toString(), QStringLiteral("003a"));
        QCOMPARE(model.index(0, SoundListModel::CommentColumn).data().toString(), QStringLiteral("one two"));
        QCOMPARE(model.Row(0).comment, std::string("one\r\ntwo"));
        QCOMPARE(model.index(1, 0).data(Qt::CheckStateRole).toInt(), int(Qt::Checked));
        QVERIFY(!model.index(1, 1).data(Qt::CheckStateRole).isValid());
        QVERIFY(model.flags(model.index(0, 0)) & Qt::ItemIsUserCheckable);
        QVERIFY(!(model.flags(model.index(0, 1)) & Qt::ItemIsUserCheckable));

        // The box is the catalogue's: a click is reported, and shows once the catalogue holds it.
        QVERIFY(model.setData(model.index(0, 0), Qt::Checked, Qt::CheckStateRole));
        QCOMPARE(userChanges.size(), 1);
        QCOMPARE(userChanges[0][0].toInt(), 0);
        QCOMPARE(userChanges[0][1].toBool(), true);
        QVERIFY(!model.Row(0).mute);
        QVERIFY(model.setData(model.index(1, 0), Qt::Checked, Qt::CheckStateRole)); // no change, no report
        QCOMPARE(userChanges.size(), 1);
        QVERIFY(!model.setData(model.index(0, 1), QStringLiteral("x"), Qt::EditRole));

        catalogue.Clear(nullptr);
        QCOMPARE(model.rowCount(), 0);
        QCOMPARE(userChanges.size(), 1);
    }

    // The rows follow the catalogue change by change: each announced for what it is, never a reset
    // but for a clear or a load; an index held on a row follows it.
    void listModelFollowsTheCatalogueWithoutResets() {
        SoundCatalogue catalogue;
        SoundListModel model(catalogue);
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
        QSignalSpy moves(&model, &QAbstractItemModel::rowsMoved);
        QSignalSpy removals(&model, &QAbstractItemModel::rowsRemoved);
        QSignalSpy changes(&model, &QAbstractItemModel::dataChanged);
        const auto rows = [&model] {
            std::vector<SoundEntry> shown;
            for (int row = 0; row < model.rowCount(); ++row)
                shown.push_back(model.Row(row));
            return shown;
        };
        for (std::int32_t n = 1; n <= 40; ++n)
            catalogue.AddOrUpdate(n, "", n % 5 == 0, true, false, nullptr);
        QCOMPARE(rows(), catalogue.EntriesInDisplayOrder());

        std::mt19937 random(3);
        for (int round = 0; round < 300; ++round) {
            const QPersistentModelIndex held = model.index(static_cast<int>(random() % 20), 0);
            const std::uint16_t heldNumber = model.Row(held.row()).number;
            for (int i = static_cast<int>(random() % 4); i >= 0; --i) {
                const auto n = static_cast<std::int32_t>(1 + random() % 60);
                switch (random() % 4) {
                case 0:
                    catalogue.Remove(n);
                    break;
                case 1:
                    catalogue.AddOrUpdate(n, "moved", random() % 2 == 0, false, false, nullptr);
                    break;
                default:
                    catalogue.AddOrUpdate(n, std::to_string(round), random() % 2 == 0, true, false, nullptr);
                }
            }
            QCOMPARE(rows(), catalogue.EntriesInDisplayOrder());
            if (held.isValid())
                QCOMPARE(model.Row(held.row()).number, heldNumber);
            else
                QVERIFY(!catalogue.Find(heldNumber));
        }
        QCOMPARE(resets.size(), 0);
        QVERIFY(!moves.isEmpty() && !removals.isEmpty() && !changes.isEmpty());

        catalogue.Clear(nullptr);
        catalogue.AddOrUpdate(9, "", false, false, false, nullptr);
        QCOMPARE(resets.size(), 1);
        QCOMPARE(rows(), catalogue.EntriesInDisplayOrder());
    }

    // Wakes from other threads run the callback on the UI thread, merged into one run while it has
    // not run yet; after Close never.
    void wakeRunsOnTheUiThreadMerged() {
        int runs = 0;
        bool onUiThread = true;
        const std::thread::id ui = std::this_thread::get_id();
        ThreadWake wake([&] {
            ++runs;
            onUiThread = onUiThread && std::this_thread::get_id() == ui;
        });
        std::thread worker([&] {
            for (int i = 0; i < 100; ++i)
                wake.Wake();
        });
        worker.join();
        QTRY_VERIFY_WITH_TIMEOUT(runs > 0, 20000);
        QCoreApplication::processEvents();
        QCOMPARE(runs, 1);
        QVERIFY(onUiThread);

        std::thread([&] { wake.Wake(); }).join();
        wake.Close();
        QCoreApplication::processEvents();
        QCOMPARE(runs, 1);
    }
};

QTEST_MAIN(UiPartsTest)
#include "UiPartsTest.moc"
