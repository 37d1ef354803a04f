// The dialog's building blocks on their own: the list model and the hand-over to the UI thread.

#include "SoundCatalogue.h"
#include "SoundListModel.h"
#include "UiThreadCall.h"

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
        SoundListModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy userChanges(&model, &SoundListModel::MuteChangedByUser);

        model.Reset({{0x003a, false, "one\r\ntwo"}, {0xfffe, true, ""}});
        QCOMPARE(model.rowCount(), 2);
        QCOMPARE(model.index(0, SoundListModel::NumberColumn).data().toString(), QStringLiteral("003a"));
        QCOMPARE(model.index(0, SoundListModel::CommentColumn).data().toString(), QStringLiteral("one two"));
        QCOMPARE(model.Row(0).comment, std::string("one\r\ntwo"));
        QCOMPARE(model.index(1, 0).data(Qt::CheckStateRole).toInt(), int(Qt::Checked));
        QVERIFY(!model.index(1, 1).data(Qt::CheckStateRole).isValid());
        QVERIFY(model.flags(model.index(0, 0)) & Qt::ItemIsUserCheckable);
        QVERIFY(!(model.flags(model.index(0, 1)) & Qt::ItemIsUserCheckable));

        QVERIFY(model.setData(model.index(0, 0), Qt::Checked, Qt::CheckStateRole));
        QVERIFY(model.Row(0).mute);
        QCOMPARE(userChanges.size(), 1);
        QCOMPARE(userChanges[0][0].toInt(), 0);
        QVERIFY(model.setData(model.index(0, 0), Qt::Checked, Qt::CheckStateRole)); // no change, no report
        QCOMPARE(userChanges.size(), 1);
        QVERIFY(!model.setData(model.index(0, 1), QStringLiteral("x"), Qt::EditRole));

        model.Reset({});
        QCOMPARE(model.rowCount(), 0);
        QCOMPARE(userChanges.size(), 1);
    }

    // The rows follow the catalogue change by change: each announced for what it is, never a reset
    // but for a clear or a load.
    void listModelCatchesUpWithoutResets() {
        SoundCatalogue catalogue;
        SoundListModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
        QSignalSpy inserts(&model, &QAbstractItemModel::rowsInserted);
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
        model.CatchUp(catalogue);
        QCOMPARE(resets.size(), 0);
        QCOMPARE(inserts.size(), 1); // one run of appends, one insertion
        QCOMPARE(rows(), catalogue.EntriesInDisplayOrder());

        std::mt19937 random(3);
        for (int round = 0; round < 300; ++round) {
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
            model.CatchUp(catalogue);
            QCOMPARE(rows(), catalogue.EntriesInDisplayOrder());
        }
        QCOMPARE(resets.size(), 0);
        QVERIFY(!moves.isEmpty() && !removals.isEmpty() && !changes.isEmpty());

        // Rows the model was given by someone else are refilled whole; so is a clear.
        model.Reset({{7, false, "stray"}});
        model.CatchUp(catalogue);
        QCOMPARE(rows(), catalogue.EntriesInDisplayOrder());
        resets.clear();
        catalogue.Clear(nullptr);
        catalogue.AddOrUpdate(9, "", false, false, false, nullptr);
        model.CatchUp(catalogue);
        QCOMPARE(resets.size(), 1);
        QCOMPARE(rows(), catalogue.EntriesInDisplayOrder());
    }

    void callFromAnotherThreadRunsOnTheUiThread() {
        UiThreadCall calls;
        std::atomic<bool> ran{false};
        std::atomic<bool> returned{false};
        std::atomic<bool> onUiThread{false};
        const std::thread::id ui = std::this_thread::get_id();
        std::thread worker([&] {
            returned = calls.Call([&] {
                onUiThread = std::this_thread::get_id() == ui;
                ran = true;
            });
        });
        QTRY_VERIFY_WITH_TIMEOUT(returned, 20000);
        worker.join();
        QVERIFY(ran && onUiThread);
    }

    void closeReleasesWaitersAndRefusesCalls() {
        UiThreadCall calls;
        std::atomic<int> ran{0};
        std::atomic<int> finished{0};
        std::atomic<int> succeeded{0};
        std::vector<std::thread> workers;
        for (int i = 0; i < 3; ++i)
            workers.emplace_back([&] {
                if (calls.Call([&] { ++ran; }))
                    ++succeeded;
                ++finished;
            });
        // The UI thread does not look at its events: the calls stay queued until Close.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (calls.PendingCalls() < 3 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        QCOMPARE(calls.PendingCalls(), std::size_t(3));
        calls.Close();
        for (std::thread& worker : workers)
            worker.join();
        QCOMPARE(ran.load(), 0);
        QCOMPARE(succeeded.load(), 0);
        QVERIFY(!calls.Call([&] { ++ran; })); // refused from the UI thread too
        std::thread late([&] { succeeded = calls.Call([&] { ++ran; }) ? 1 : 0; });
        late.join();
        QCOMPARE(ran.load(), 0);
        QCOMPARE(succeeded.load(), 0);
    }

    void callOnTheUiThreadRunsInline() {
        UiThreadCall calls;
        bool ran = false;
        QVERIFY(calls.Call([&] { ran = true; }));
        QVERIFY(ran);
    }
};

QTEST_MAIN(UiPartsTest)
#include "UiPartsTest.moc"
