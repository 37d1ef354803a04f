// The dialog's building blocks on their own: the list model and the hand-over to the UI thread.

#include "SoundListModel.h"
#include "UiThreadCall.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <chrono>
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
