// The dialog with the hook side running: the observers through the fake hook library, Play,
// Load and Save, and closing the dialog while sounds flood in.

#include "DialogFixture.h"

#include <QAbstractItemModelTester>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <atomic>
#include <random>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

static std::vector<std::uint8_t> PlayerPacket(std::uint16_t x, std::uint16_t y, std::uint8_t z) {
    std::vector<std::uint8_t> packet(19, 0);
    packet[0] = 0x20;
    packet[11] = static_cast<std::uint8_t>(x >> 8);
    packet[12] = static_cast<std::uint8_t>(x);
    packet[13] = static_cast<std::uint8_t>(y >> 8);
    packet[14] = static_cast<std::uint8_t>(y);
    packet[18] = z;
    return packet;
}

class DialogHookTest : public QObject {
    Q_OBJECT

    std::unique_ptr<DialogFixture> f;

private slots:
    void init() { f = std::make_unique<DialogFixture>(); }
    void cleanup() { f.reset(); }

    // Starting list: 0010 "c" (plain), 0020 (plain), 0030 (muted).
    void soundObserver_data() {
        QTest::addColumn<bool>("autoAdd");
        QTest::addColumn<bool>("moveToEnd");
        QTest::addColumn<int>("number");
        QTest::addColumn<std::uint32_t>("verdict");
        QTest::addColumn<QString>("rows");
        const QString start = QStringLiteral("0010,0020,0030:m");
        QTest::newRow("off: muted is blocked") << false << false << 0x30 << 1u << start;
        QTest::newRow("off: new sound not recorded") << false << false << 0x40 << 0u << start;
        QTest::newRow("on: new sound appended") << true << false << 0x40 << 0u << start + ",0040";
        QTest::newRow("on: known keeps its place") << true << false << 0x10 << 0u << start;
        QTest::newRow("on+move: known moves to end") << true << true << 0x10 << 0u << "0020,0030:m,0010";
        QTest::newRow("on+move: muted blocked, not moved") << true << true << 0x30 << 1u << start;
        QTest::newRow("on: 0000 never added") << true << false << 0x0000 << 0u << start;
        QTest::newRow("on: ffff never added") << true << false << 0xFFFF << 0u << start;
    }
    void soundObserver() {
        QFETCH(bool, autoAdd);
        QFETCH(bool, moveToEnd);
        QFETCH(int, number);
        QFETCH(std::uint32_t, verdict);
        QFETCH(QString, rows);
        f->Add(0x10, "c");
        f->Add(0x20);
        f->Add(0x30, "", true);
        if (moveToEnd)
            f->Click("moveToEndCheckBox"); // taken when the next command reads the fields
        if (autoAdd)
            f->Click("autoAddCheckBox");
        QCOMPARE(f->Play({static_cast<std::uint16_t>(number)}), std::vector<std::uint32_t>{verdict});
        QCOMPARE(f->Rows(), rows);
        QCOMPARE(f->catalogue.Find(0x10)->comment, std::string("c"));
        if (rows.endsWith("0040")) {
            QCOMPARE(f->catalogue.Find(0x40)->comment, std::string());
            const QRect last = f->List()->visualRect(f->Model().index(3, 0));
            QVERIFY(f->List()->viewport()->rect().contains(last));
        }
        QVERIFY(f->dialog->AutoAddOn() == autoAdd);
    }

    void nothingAddedWhileACommandRuns() {
        f->Click("autoAddCheckBox");
        f->Add(0x10, "", true);
        // Seen while auto-add was on, but carried out on the UI thread only once a command began.
        f->hook.PushPacket(SoundPacket(0x50));
        const QDeadlineTimer deadline(30000);
        while (f->hook.PendingEvents() != 0 && !deadline.hasExpired())
            std::this_thread::yield();
        std::vector<std::uint32_t> verdicts;
        // The file dialog is open: its own event loop runs while sounds are played.
        f->chooser.onChoose = [&] {
            ProcessEventsUntil([&] { return f->hook.VerdictCount() >= 1; });
            verdicts = f->Play({0x40, 0x10, 0x41});
        };
        f->Click("loadButton");
        QCOMPARE(f->hook.Verdicts().front(), 0u);
        QCOMPARE(verdicts, (std::vector<std::uint32_t>{0, 1, 0}));
        f->Click("saveButton");
        QCOMPARE(verdicts, (std::vector<std::uint32_t>{0, 1, 0}));
        QCOMPARE(f->Rows(), QStringLiteral("0010:m"));
        QVERIFY(f->Checked("autoAddCheckBox"));
        f->chooser.onChoose = nullptr;
        QCOMPARE(f->Play({0x42}), std::vector<std::uint32_t>{0});
        QCOMPARE(f->Rows(), QStringLiteral("0010:m,0042"));
    }

    void commandsInsideAFileDialogKeepAutoAddSuspended() {
        // The window stays usable while a file dialog is open: the user ticks auto-add there.
        f->chooser.onChoose = [&] {
            f->Click("autoAddCheckBox");
            f->TypeNumber("10");
            f->Click("addUpdateButton");
            QCOMPARE(f->Play({0x40}), std::vector<std::uint32_t>{0});
            QVERIFY(f->Checked("autoAddCheckBox"));
            QVERIFY(!f->dialog->AutoAddOn());
        };
        f->Click("loadButton");
        f->chooser.onChoose = nullptr;
        QCOMPARE(f->Rows(), QStringLiteral("0010"));
        // The tick is not lost: auto-add is on once the outer command has ended.
        QVERIFY(f->Checked("autoAddCheckBox"));
        QVERIFY(f->dialog->AutoAddOn());
        QCOMPARE(f->Play({0x41}), std::vector<std::uint32_t>{0});
        QCOMPARE(f->Rows(), QStringLiteral("0010,0041"));
    }

    // The test thread is the UI thread: while it waits on the fake library without looking at its
    // events, the UI thread is held. Every verdict still comes back, the sounds to record take room
    // by the distinct numbers only, and once the UI thread is free the list ends exactly as the
    // sounds recorded one by one would have left it.
    void heldUiThread_data() {
        QTest::addColumn<bool>("moveToEnd");
        QTest::addColumn<int>("plays");
        QTest::addColumn<int>("distinct");
        QTest::newRow("one sound") << false << 1 << 1;
        QTest::newRow("flood, known ones stay") << false << 20000 << 300;
        QTest::newRow("flood, played ones move to the end") << true << 20000 << 300;
    }
    void heldUiThread() {
        QFETCH(bool, moveToEnd);
        QFETCH(int, plays);
        QFETCH(int, distinct);
        QAbstractItemModelTester tester(&f->Model(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        SoundCatalogue expected;
        for (SoundCatalogue* catalogue : {&f->catalogue, &expected}) {
            catalogue->AddOrUpdate(0x30, "c", false, true, false, nullptr);
            catalogue->AddOrUpdate(0x20, "", true, true, false, nullptr);
            catalogue->AddOrUpdate(0x10, "d", false, true, false, nullptr);
        }
        if (moveToEnd)
            f->Click("moveToEndCheckBox");
        f->Click("autoAddCheckBox");
        std::mt19937 random(static_cast<unsigned>(plays));
        std::vector<std::uint32_t> verdicts;
        for (int i = 0; i < plays; ++i) {
            const auto number = static_cast<std::uint16_t>(0x10 + random() % static_cast<unsigned>(distinct));
            f->hook.PushPacket(SoundPacket(number));
            verdicts.push_back(expected.IsMuted(number) ? 1 : 0);
            if (!expected.IsMuted(number)) {
                const auto known = expected.Find(number);
                expected.AddOrUpdate(number, known ? known->comment : "", false, !moveToEnd, false, nullptr);
            }
        }
        QVERIFY(f->hook.WaitForVerdicts(static_cast<std::size_t>(plays), std::chrono::seconds(60)));
        QCOMPARE(f->hook.Verdicts(), verdicts);
        const PlayedSoundQueue& waiting = f->dialog->PlayedSounds();
        QVERIFY(waiting.Waiting() >= 1 && waiting.Waiting() <= static_cast<std::size_t>(distinct));
        QVERIFY(waiting.Held() <= 2 * waiting.Waiting() + 64);
        QCOMPARE(f->Model().rowCount(), 3); // nothing recorded while held

        QVERIFY(ProcessEventsUntil(
            [&] { return waiting.Waiting() == 0 && f->Model().rowCount() == int(expected.Count()); }));
        QCOMPARE(f->catalogue.EntriesInDisplayOrder(), expected.EntriesInDisplayOrder());
        for (int row = 0; row < f->Model().rowCount(); ++row)
            QCOMPARE(f->Model().Row(row), expected.EntriesInDisplayOrder()[static_cast<std::size_t>(row)]);
    }

    // A muted sound is blocked at every moment while the list is loaded again and again.
    void aMutedSoundIsBlockedDuringALoad() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("many.xml"));
        for (std::int32_t n = 1; n < 5000; ++n)
            f->catalogue.AddOrUpdate(n, "a comment", n == 0x30 || n % 7 == 0, true, false, nullptr);
        QVERIFY(f->dialog->SaveCatalogueFile(path));
        f->Click("autoAddCheckBox");
        constexpr std::size_t kPackets = 2000;
        std::thread feeder([&] {
            for (std::size_t i = 0; i < kPackets; ++i)
                f->hook.PushPacket(SoundPacket(0x30));
        });
        int loads = 0;
        while (f->hook.VerdictCount() < kPackets || loads < 3) {
            QVERIFY(f->dialog->LoadCatalogueFile(path));
            ++loads;
            QCoreApplication::processEvents();
        }
        feeder.join();
        QCOMPARE(f->hook.Verdicts(), std::vector<std::uint32_t>(kPackets, 1));
    }

    // Sounds played while a command runs are never recorded, even when the UI thread only gets to
    // them after the command.
    void soundsPlayedDuringACommandAreNotRecordedAfterIt() {
        f->Click("autoAddCheckBox");
        f->chooser.onChoose = [&] {
            f->hook.PushPacket(SoundPacket(0x60));
            QVERIFY(f->hook.WaitForVerdicts(1));
        };
        f->Click("saveButton");
        f->chooser.onChoose = nullptr;
        QCOMPARE(f->Play({0x61}), std::vector<std::uint32_t>{0});
        QCOMPARE(f->Rows(), QStringLiteral("0061"));
    }

    // Closed and destroyed with sounds still waiting: nothing hangs, nothing reaches the dialog.
    void closingWithSoundsWaiting() {
        f->Click("autoAddCheckBox");
        for (std::uint16_t number = 0x100; number < 0x140; ++number)
            f->hook.PushPacket(SoundPacket(number));
        QVERIFY(f->hook.WaitForVerdicts(0x40));
        QVERIFY(f->dialog->PlayedSounds().Waiting() > 0);
        f->dialog->close();
        QCoreApplication::processEvents();
        f->dialog.reset();
        QCoreApplication::processEvents();
        f->hook.PushPacket(SoundPacket(0x200));
        QVERIFY(f->hook.WaitForVerdicts(0x41));
        QCOMPARE(f->catalogue.Count(), std::size_t(0));
    }

    void everyPlayerPacketOverwritesThePosition() {
        QCOMPARE(f->position.Load(), PlayerPosition::Value{});
        f->hook.PushPacket(PlayerPacket(0x1234, 0x0567, 0xF6));
        f->hook.PushPacket(PlayerPacket(0x0100, 0x0200, 0x03));
        QVERIFY(f->hook.WaitForVerdicts(2));
        QCOMPARE(f->position.Load(), (PlayerPosition::Value{0x0100, 0x0200, 0x03}));
        QCOMPARE(f->hook.Verdicts(), (std::vector<std::uint32_t>{0, 0}));
    }

    void play_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("muted");
        QTest::newRow("3a") << "3a" << false;
        QTest::newRow("0x3a shows the prefix twice") << "0x3a" << false;
        QTest::newRow("muted plays all the same") << "3a" << true;
    }
    void play() {
        QFETCH(QString, typed);
        QFETCH(bool, muted);
        f->Add(0x3a, "", muted);
        f->TypeNumber(typed);
        f->Click("playButton"); // no client window: nothing
        QVERIFY(f->hook.RaisedWindows().empty());

        f->hook.SetClientWindow(0x0BAD);
        f->hook.PushPacket(PlayerPacket(0x0102, 0x0304, 0x05));
        QVERIFY(f->hook.WaitForVerdicts(1));
        f->Click("playButton");
        QVERIFY(f->hook.WaitForInjections(2));
        QCOMPARE(f->hook.RaisedWindows(), std::vector<std::uint32_t>{0x0BAD});

        const QString text = "Play Sound No.0x" + typed;
        std::vector<std::uint8_t> message = {
            0xAE, 0, static_cast<std::uint8_t>(2 * text.size() + 52), 0, 0, 0, 0, 0, 0, 0, 0x04, 0x81, 0, 3, 'J', 'P',
            'N',  0};
        message.resize(48, 0);
        for (QChar c : text) {
            message.push_back(0);
            message.push_back(static_cast<std::uint8_t>(c.unicode()));
        }
        message.resize(message.size() + 4, 0);
        const std::vector<std::uint8_t> sound = {0x54, 0x01, 0x00, 0x3a, 0, 0, 0x01, 0x02, 0x03, 0x04, 0, 0x05};
        const std::vector<FakeHookLibrary::Injection> injected = f->hook.Injections();
        QCOMPARE(injected.size(), std::size_t(2));
        QCOMPARE(injected[0], (FakeHookLibrary::Injection{0, message}));
        QCOMPARE(injected[1], (FakeHookLibrary::Injection{0, sound}));
        QCOMPARE(f->NumberText(), typed);
        QCOMPARE(f->catalogue.Find(0x3a)->mute, muted);
    }

    void saveThenLoadGivesTheSameList() {
        QTemporaryDir dir;
        f->Add(0x300, "三百\r\nline two", true);
        f->Add(0x10, "<&\"tab\t>");
        f->Add(0x200);
        f->Click("sortOnSaveCheckBox");
        f->chooser.path = dir.filePath(QStringLiteral("カタログ.xml"));
        f->Click("saveButton");
        QCOMPARE(f->Rows(), QStringLiteral("0300:m,0010,0200")); // the list keeps its order
        QVERIFY(QFile::exists(*f->chooser.path));

        f->Click("clearButton");
        f->Click("loadButton");
        QCOMPARE(f->Rows(), QStringLiteral("0010,0200,0300:m")); // the file was sorted
        QCOMPARE(f->catalogue.Find(0x300)->comment, std::string("三百\r\nline two"));
        QCOMPARE(f->catalogue.Find(0x10)->comment, std::string("<&\"tab\t>"));
        QVERIFY(f->messages.shown.empty());
    }

    void cancelledLoadStillRebuilds() {
        f->Add(0x10);
        f->catalogue.AddOrUpdate(0x20, "", false, true, false, nullptr); // not shown yet
        f->Click("loadButton");
        QCOMPARE(f->chooser.calls, 1);
        QCOMPARE(f->Rows(), QStringLiteral("0010,0020"));
        QVERIFY(f->messages.shown.empty());
    }

    void fileErrorsAreReported_data() {
        QTest::addColumn<bool>("load");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<QString>("caption");
        QTest::newRow("missing file") << true << "missing.xml"
                                      << " が開けませんでした。"
                                      << "読み込みエラー";
        QTest::newRow("not well-formed") << true << "broken.xml"
                                         << " が開けませんでした。"
                                         << "読み込みエラー";
        QTest::newRow("missing folder") << false << "no/such/folder/a.xml"
                                        << " に書き込みできませんでした。"
                                        << "書き込みエラー";
    }
    void fileErrorsAreReported() {
        QFETCH(bool, load);
        QFETCH(QString, name);
        QFETCH(QString, suffix);
        QFETCH(QString, caption);
        QTemporaryDir dir;
        QFile broken(dir.filePath("broken.xml"));
        QVERIFY(broken.open(QIODevice::WriteOnly));
        broken.write("<mute><sound no=\"0x10\"</mute>");
        broken.close();
        f->Add(0x10);
        f->chooser.path = dir.filePath(name);
        f->Click(load ? "loadButton" : "saveButton");
        QCOMPARE(f->messages.shown.size(), std::size_t(1));
        QCOMPARE(f->messages.shown[0].text, *f->chooser.path + suffix);
        QCOMPARE(f->messages.shown[0].caption, caption);
        QCOMPARE(f->Rows(), QStringLiteral("0010"));
        QVERIFY(load ? !f->dialog->LoadCatalogueFile(*f->chooser.path)
                     : !f->dialog->SaveCatalogueFile(*f->chooser.path));
    }

    // Only the file's own permission counts (root may write anything: the save is made as nobody).
    void saveOverAReadOnlyFileFailsAndKeepsIt() {
        QTemporaryDir dir;
        QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7777)));
        const QString path = dir.filePath(QStringLiteral("kept.xml"));
        QFile kept(path);
        QVERIFY(kept.open(QIODevice::WriteOnly));
        kept.write("<mute/>\n");
        kept.close();
        QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther));
        f->Add(0x10, "new");
        f->chooser.path = path;
        const bool root = geteuid() == 0;
        QVERIFY(!root || seteuid(65534) == 0);
        f->Click("saveButton");
        QVERIFY(!root || seteuid(0) == 0);
        QCOMPARE(f->messages.shown.size(), std::size_t(1));
        QCOMPARE(f->messages.shown[0].text, path + QStringLiteral(" に書き込みできませんでした。"));
        QCOMPARE(f->messages.shown[0].caption, QStringLiteral("書き込みエラー"));
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray("<mute/>\n"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("kept.xml")});
    }

    // A link another user planted in a shared folder is not written through, and the message says why.
    void saveThroughAPlantedLinkIsRefused() {
        if (geteuid() != 0)
            QSKIP("needs root to give a link to another user");
        QTemporaryDir dir;
        const QString victim = dir.filePath(QStringLiteral("victim.xml"));
        QFile file(victim);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("<mute/>\n");
        file.close();
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("shared")));
        const QString shared = dir.filePath(QStringLiteral("shared"));
        const QString link = shared + QStringLiteral("/cat.xml");
        QVERIFY(QFile::link(victim, link));
        QCOMPARE(lchown(QFile::encodeName(link).constData(), 65534, static_cast<gid_t>(-1)), 0);
        QCOMPARE(chmod(QFile::encodeName(shared).constData(), 01777), 0);
        f->Add(0x10, "new");
        f->chooser.path = link;
        f->Click("saveButton");
        QCOMPARE(f->messages.shown.size(), std::size_t(1));
        QCOMPARE(f->messages.shown[0].text,
                 link + QStringLiteral(" に書き込みできませんでした。\n"
                                       "共有フォルダーにある他のユーザーのシンボリックリンクを経由するため、"
                                       "書き込みませんでした。"));
        QCOMPARE(f->messages.shown[0].caption, QStringLiteral("書き込みエラー"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("<mute/>\n"));
    }

    void closingDetachesTheObservers() {
        f->Click("autoAddCheckBox");
        f->Add(0x10, "", true);
        f->dialog->close();
        // Every packet passes and nothing reaches the closed dialog.
        QCOMPARE(f->Play({0x10, 0x40}), (std::vector<std::uint32_t>{0, 0}));
        QCOMPARE(f->catalogue.Count(), std::size_t(1));
    }

    void aFloodIsDrawnAtAPaceAndTheListShowsTheLastSound() {
        // Counts the rows being drawn.
        struct PaintCounter final : QObject {
            int paints = 0;
            bool eventFilter(QObject*, QEvent* event) override {
                paints += event->type() == QEvent::Paint ? 1 : 0;
                return false;
            }
        } counter;
        QWidget* rows = f->List()->viewport();
        rows->installEventFilter(&counter);
        f->Click("autoAddCheckBox");
        std::vector<std::uint16_t> sounds;
        for (std::uint16_t number = 0x200; number < 0x240; ++number)
            sounds.push_back(number);
        QCOMPARE(f->Play(sounds).size(), sounds.size());
        QCOMPARE(f->Model().rowCount(), static_cast<int>(sounds.size()));
        // Not once per sound, but drawn in the end, and drawn as usual from then on.
        QTRY_VERIFY(rows->updatesEnabled() && counter.paints > 0);
        QVERIFY(counter.paints < static_cast<int>(sounds.size()));
        const int before = counter.paints;
        QTest::qWait(2 * static_cast<int>(SoundTableView::kRepaintInterval.count()));
        QCOMPARE(f->Play({0x300}).size(), std::size_t(1));
        QTRY_VERIFY(counter.paints > before);
        QVERIFY(rows->updatesEnabled());
        const QRect last = f->List()->visualRect(f->Model().index(f->Model().rowCount() - 1, 0));
        QVERIFY(rows->rect().contains(last));
    }

    void closeDuringAFlood() {
        f->Click("autoAddCheckBox");
        f->Click("moveToEndCheckBox");
        for (std::uint16_t number = 0x100; number < 0x110; ++number)
            f->catalogue.AddOrUpdate(number, "", true, true, false, nullptr);
        f->Click("addUpdateButton");

        // The pump no longer waits for the window, so the flood goes on until the window has closed,
        // and a while after.
        std::atomic<bool> closed{false};
        std::atomic<std::size_t> sent{0};
        std::thread feeder([&] {
            std::mt19937 random(7);
            for (std::size_t afterClose = 0; afterClose < 500; afterClose += closed ? 1 : 0) {
                f->hook.PushPacket(SoundPacket(static_cast<std::uint16_t>(random() % 0x120)));
                ++sent;
                std::this_thread::yield();
            }
        });

        std::mt19937 random(11);
        for (int step = 0; step < 150; ++step) {
            f->TypeNumber(QString::number(random() % 0x120, 16));
            switch (random() % 6) {
            case 0:
                f->Click("addUpdateButton");
                break;
            case 1:
                f->Click("deleteButton");
                break;
            case 2:
                if (step % 20 == 0)
                    f->Click("clearButton");
                break;
            default:
                if (f->Model().rowCount() > 0) {
                    const int row = static_cast<int>(random() % static_cast<unsigned>(f->Model().rowCount()));
                    f->List()->scrollTo(f->Model().index(row, 0));
                    f->ClickRowCheckBox(row);
                }
            }
            // Let the pump's auto-adds through for a while.
            const std::size_t target = f->hook.VerdictCount() + 10;
            if (!ProcessEventsUntil([&] { return f->hook.VerdictCount() >= target; }))
                break; // checked below: the flood stops only after the close
        }
        f->dialog->close();
        closed = true;
        feeder.join();
        QVERIFY(f->hook.WaitForVerdicts(sent, std::chrono::seconds(60)));
        f->dialog.reset();
        f->bridge.Stop();
        QCOMPARE(f->hook.VerdictCount(), sent.load());
    }
};

QTEST_MAIN(DialogHookTest)
#include "DialogHookTest.moc"
