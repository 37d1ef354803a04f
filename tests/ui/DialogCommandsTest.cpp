// The main dialog driven as a user would: its layout, the editing commands, the list's
// notifications and the keyboard.

#include "DialogFixture.h"
#include "DialogTemplate.h"
#include "TemplateGroupBox.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QApplication>
#include <QClipboard>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QStyleOptionFrame>
#include <QTimer>

class DialogCommandsTest : public QObject {
    Q_OBJECT

    std::unique_ptr<DialogFixture> f;

private slots:
    void init() { f = std::make_unique<DialogFixture>(); }
    void cleanup() { f.reset(); }

    void templateCaptions_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("caption");
        const char* const rows[][2] = {
            {"closeButton", "終了"},
            {"numberLabel", "サウンド番号"},
            {"commentLabel", "コメント"},
            {"soundListGroupBox", "サウンド一覧"},
            {"autoAddCheckBox", "UOで再生されたサウンドを自動追加する"},
            {"clearButton", "クリア"},
            {"loadButton", "読込"},
            {"saveButton", "保存"},
            {"addUpdateButton", "追加・更新"},
            {"deleteButton", "削除"},
            {"playButton", "再生"},
            {"muteCheckBox", "このサウンドは\nミュートする"},
            {"settingsGroupBox", "設定"},
            {"sortOnSaveCheckBox", "保存時にサウンド番号でソートする"},
            {"moveToEndCheckBox", "UOで再生されたサウンドはリストの最後に移動する"},
        };
        for (const auto& row : rows)
            QTest::newRow(row[0]) << row[0] << QString::fromUtf8(row[1]);
    }
    void templateCaptions() {
        QFETCH(QString, name);
        QFETCH(QString, caption);
        QWidget* widget = f->dialog->findChild<QWidget*>(name);
        QVERIFY(widget);
        if (auto* button = qobject_cast<QAbstractButton*>(widget))
            QCOMPARE(button->text(), caption);
        else if (auto* label = qobject_cast<QLabel*>(widget))
            QCOMPARE(label->text(), caption);
        else
            QCOMPARE(qobject_cast<QGroupBox*>(widget)->title(), caption);
    }

    void templateLayout() {
        CKestruneDlg& dialog = *f->dialog;
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Kestrune"));
        QVERIFY(!(dialog.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
        const DialogTemplate& layout = MainDialogTemplate();
        QCOMPARE(layout.controls.size(), std::size_t(20));
        QCOMPARE(dialog.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly).size(), 20);

        const DialogUnits units(DialogFont(layout));
        QCOMPARE(dialog.size(), QSize(MulDiv(274, units.BaseX(), 4), MulDiv(220, units.BaseY(), 8)));
        const QRect number = f->Find<QWidget>("numberEdit")->geometry();
        QCOMPARE(number.topLeft(), QPoint(MulDiv(156, units.BaseX(), 4), MulDiv(24, units.BaseY(), 8)));
        QCOMPARE(number.height(), MulDiv(14, units.BaseY(), 8));
        QVERIFY(number.width() >= MulDiv(30, units.BaseX(), 4)); // widened for the substitute font
        QCOMPARE(f->List()->geometry(), units.ToPixels(6, 30, 138, 180));

        auto* hidden = f->Find<QLineEdit>("hiddenEdit");
        QVERIFY(!hidden->isVisible() && hidden->isReadOnly());
        QCOMPARE(hidden->focusPolicy(), Qt::NoFocus);
        QCOMPARE(hidden->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
        QCOMPARE(hidden->maxLength(), 4);

        QStringList order;
        QWidget* widget = f->Find<QWidget>("closeButton");
        do {
            if (widget->focusPolicy() & Qt::TabFocus)
                order << widget->objectName();
            widget = widget->nextInFocusChain();
        } while (widget != f->Find<QWidget>("closeButton"));
        QCOMPARE(order, QStringList({"closeButton", "soundList", "autoAddCheckBox", "numberEdit", "commentEdit",
                                     "clearButton", "loadButton", "saveButton", "addUpdateButton", "deleteButton",
                                     "playButton", "muteCheckBox", "sortOnSaveCheckBox", "moveToEndCheckBox"}));

        QHeaderView& header = *f->List()->horizontalHeader();
        QCOMPARE(header.sectionSize(0), 68);
        QCOMPARE(header.sectionSize(1), 170);
        QCOMPARE(f->Model().headerData(0, Qt::Horizontal).toString(), QStringLiteral("番号(16進)"));
        QCOMPARE(f->Model().headerData(1, Qt::Horizontal).toString(), QStringLiteral("コメント"));
    }

    // As a Windows dialog draws them: the frame line through the middle of the caption, the caption
    // inside the box; "終了" drawn as the default button; the number field showing seven digits.
    void windowsLooks() {
        const int captionHeight = QFontMetrics(f->dialog->font()).height();
        for (const char* name : {"soundListGroupBox", "settingsGroupBox", "editorGroupBox"}) {
            auto* box = f->Find<TemplateGroupBox>(name);
            QVERIFY(box);
            QCOMPARE(box->FrameTop(), captionHeight / 2);
            if (!box->title().isEmpty())
                QVERIFY(box->CaptionRect().left() > 0 && box->rect().contains(box->CaptionRect()));
        }
        const auto frameLine = [&](const char* name) {
            auto* box = f->Find<TemplateGroupBox>(name);
            return box->y() + box->FrameTop();
        };
        // Controls inside a frame start below its line and right of its edge.
        for (const char* inside : {"clearButton", "loadButton", "saveButton", "soundList"})
            QVERIFY2(f->Find<QWidget>(inside)->y() > frameLine("soundListGroupBox") + 2, inside);
        for (const char* inside : {"autoAddCheckBox", "moveToEndCheckBox", "sortOnSaveCheckBox"})
            QVERIFY2(f->Find<QWidget>(inside)->y() > frameLine("settingsGroupBox") + 2, inside);
        QVERIFY(f->Find<TemplateGroupBox>("soundListGroupBox")->CaptionRect().left() > 2);

        auto* close = f->Find<QPushButton>("closeButton");
        QVERIFY(close->isDefault());
        for (QPushButton* button : f->dialog->findChildren<QPushButton*>())
            QVERIFY(!button->autoDefault() && (button == close || !button->isDefault()));

        auto* number = f->Find<QLineEdit>("numberEdit");
        QTest::keyClicks(number, "1234567");
        QStyleOptionFrame option;
        option.initFrom(number);
        option.lineWidth = number->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, number);
        option.rect = number->rect();
        const QRect contents = number->style()->subElementRect(QStyle::SE_LineEditContents, &option, number);
        QVERIFY(QFontMetrics(number->font()).horizontalAdvance(QStringLiteral("1234567")) + 5 <= contents.width());
        // "再生" and the mute box moved aside, not overlapped.
        QVERIFY(f->Find<QWidget>("playButton")->x() > number->geometry().right());
        QVERIFY(f->Find<QWidget>("muteCheckBox")->x() > f->Find<QWidget>("playButton")->geometry().right());
    }

    // Through the accessibility interface, as a screen reader or a test tool drives the dialog over
    // the desktop's accessibility bus.
    void accessibleCheckBoxesActAsClicks_data() {
        QTest::addColumn<QString>("box");
        for (const char* name : {"autoAddCheckBox", "muteCheckBox", "sortOnSaveCheckBox", "moveToEndCheckBox"})
            QTest::newRow(name) << name;
    }
    void accessibleCheckBoxesActAsClicks() {
        QFETCH(QString, box);
        QAccessibleInterface* access = QAccessible::queryAccessibleInterface(f->dialog->findChild<QCheckBox*>(box));
        QVERIFY(access && access->actionInterface());
        QCOMPARE(access->role(), QAccessible::CheckBox);
        QVERIFY(access->state().checkable && !access->state().checked);
        QVERIFY(access->actionInterface()->actionNames().contains(QAccessibleActionInterface::toggleAction()));
        f->TypeNumber("10");
        access->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
        QVERIFY(access->state().checked);
        // The click's handler ran, where the box has one: it read the fields. (1012 and 1014 have
        // none: their state is read with the next command's fields.)
        QCOMPARE(f->dialog->m_bAutoAdd.load(), box == "autoAddCheckBox");
        QCOMPARE(f->dialog->m_bMute, box == "muteCheckBox");
        QCOMPARE(f->dialog->m_nCurrentNumber, box == "muteCheckBox" ? 0x10 : 0);
        if (box == "autoAddCheckBox") {
            QCOMPARE(f->Play({0x40}), std::vector<std::uint32_t>{0});
            QCOMPARE(f->Rows(), QStringLiteral("0040"));
            access->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
            QVERIFY(!f->dialog->AutoAddOn());
        }
    }

    void accessibleFieldNamesAndRowBoxes() {
        QCOMPARE(QAccessible::queryAccessibleInterface(f->Find<QWidget>("numberEdit"))->text(QAccessible::Name),
                 QStringLiteral("サウンド番号"));
        QCOMPARE(QAccessible::queryAccessibleInterface(f->Find<QWidget>("commentEdit"))->text(QAccessible::Name),
                 QStringLiteral("コメント"));

        f->Add(0x10);
        f->Add(0x20, "kept");
        QAccessibleInterface* list = QAccessible::queryAccessibleInterface(f->List());
        QVERIFY(list && list->tableInterface());
        QAccessibleInterface* box = list->tableInterface()->cellAt(1, 0);
        QVERIFY(box && box->actionInterface());
        QCOMPARE(box->text(QAccessible::Name), QStringLiteral("0020"));
        QCOMPARE(box->role(), QAccessible::CheckBox);
        QCOMPARE(list->tableInterface()->cellAt(1, 1)->role(), QAccessible::Cell);
        QVERIFY(box->state().checkable && !box->state().checked);
        // The box toggles; every cell also offers the row's context menu.
        const QStringList rowCommands{QStringLiteral("このPCで試聴"), QStringLiteral("ゲームで再生"),
                                      QStringLiteral("停止")};
        QCOMPARE(box->actionInterface()->actionNames(),
                 QStringList{QAccessibleActionInterface::toggleAction()} + rowCommands);
        QCOMPARE(list->tableInterface()->cellAt(1, 1)->actionInterface()->actionNames(), rowCommands);
        box->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
        QVERIFY(f->catalogue.Find(0x20)->mute); // muted at once, as by a click
        QCOMPARE(f->catalogue.Find(0x20)->comment, std::string("kept"));
        QVERIFY(box->state().checked);
        QCOMPARE(f->NumberText(), QStringLiteral("0020")); // and the row was loaded, as by a click
        // The cell follows its row when the row moves, as the view counts the children.
        f->catalogue.AddOrUpdate(0x10, "", false, false, false, nullptr);
        f->dialog->RebuildSoundList();
        QCOMPARE(box->text(QAccessible::Name), QStringLiteral("0020"));
        QCOMPARE(list->indexOfChild(box), 1 * 3 + 1);
        QCOMPARE(list->child(list->indexOfChild(box)), box);
        box->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
        QVERIFY(!f->catalogue.Find(0x20)->mute);
    }

    void mulDivRoundsLikeWindows_data() {
        QTest::addColumn<int>("a");
        QTest::addColumn<int>("b");
        QTest::addColumn<int>("c");
        QTest::addColumn<int>("expected");
        QTest::newRow("exact") << 156 << 6 << 4 << 234;
        QTest::newRow("half up") << 5 << 7 << 2 << 18;
        QTest::newRow("below half") << 7 << 13 << 8 << 11;
        QTest::newRow("negative half away") << -5 << 7 << 2 << -18;
        QTest::newRow("zero divisor") << 5 << 7 << 0 << -1;
    }
    void mulDivRoundsLikeWindows() {
        QFETCH(int, a);
        QFETCH(int, b);
        QFETCH(int, c);
        QFETCH(int, expected);
        QCOMPARE(MulDiv(a, b, c), expected);
    }

    void initialState() {
        QCOMPARE(f->Model().rowCount(), 0);
        QVERIFY(f->NumberText().isEmpty() && f->CommentText().isEmpty());
        for (const char* box : {"autoAddCheckBox", "muteCheckBox", "sortOnSaveCheckBox", "moveToEndCheckBox"})
            QVERIFY(!f->Checked(box));
        QCOMPARE(f->dialog->focusWidget(), f->Find<QWidget>("closeButton"));
    }

    void addUpdateParsesNumber_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("rows");
        QTest::newRow("empty") << ""
                               << "";
        QTest::newRow("3A") << "3A"
                            << "003a";
        QTest::newRow("0x3a") << "0x3a"
                              << "003a";
        QTest::newRow("12345 keeps low 16 bits") << "12345"
                                                 << "2345";
        QTest::newRow("-2") << "-2"
                            << "fffe";
        QTest::newRow("-1") << "-1"
                            << "";
        QTest::newRow("ffff") << "ffff"
                              << "";
        QTest::newRow("0") << "0"
                           << "";
        QTest::newRow("10000") << "10000"
                               << "";
        QTest::newRow("not a number") << "zz"
                                      << "";
    }
    void addUpdateParsesNumber() {
        QFETCH(QString, typed);
        QFETCH(QString, rows);
        f->TypeNumber(typed);
        f->Click("addUpdateButton");
        QCOMPARE(f->Rows(), rows);
        QCOMPARE(f->NumberText(), typed); // not cleared
        if (!rows.isEmpty())
            QCOMPARE(f->Model().index(0, 0).data().toString(), rows);
    }

    void addUpdateReplacesInPlace() {
        f->Add(0x10);
        f->Add(0x20);
        f->Add(0x30);
        f->TypeNumber("20");
        f->TypeComment("new");
        QTest::mouseClick(f->Find<QCheckBox>("muteCheckBox"), Qt::LeftButton);
        f->Click("addUpdateButton");
        QCOMPARE(f->Rows(), QStringLiteral("0010,0020:m,0030"));
        QCOMPARE(f->catalogue.Find(0x20)->comment, std::string("new"));
        QCOMPARE(f->Model().index(1, 1).data().toString(), QStringLiteral("new"));
        QCOMPARE(f->dialog->m_nCurrentNumber, 0x20);
    }

    void commentKeepsCrLfAndShowsOneLine() {
        auto* comment = f->Find<QPlainTextEdit>("commentEdit");
        f->TypeNumber("10");
        QTest::keyClicks(comment, "a");
        QTest::keyClick(comment, Qt::Key_Return);
        QTest::keyClicks(comment, "b");
        f->Click("addUpdateButton");
        QCOMPARE(f->catalogue.Find(0x10)->comment, std::string("a\r\nb"));
        QCOMPARE(f->Model().index(0, 1).data().toString(), QStringLiteral("a b"));
        QCOMPARE(f->CommentText(), QStringLiteral("a\nb"));
        QVERIFY(f->dialog->isVisible());
    }

    void deleteRemovesOnlyAListedNumber() {
        f->Add(0x10);
        f->Add(0x20);
        f->TypeNumber("99");
        f->Click("deleteButton");
        QCOMPARE(f->Rows(), QStringLiteral("0010,0020"));
        f->TypeNumber("0x10");
        f->Click("deleteButton");
        QCOMPARE(f->Rows(), QStringLiteral("0020"));
        QCOMPARE(f->NumberText(), QStringLiteral("0x10"));
    }

    void editorMuteBoxAloneChangesNothing() {
        f->Add(0x10);
        f->TypeNumber("10");
        QTest::mouseClick(f->Find<QCheckBox>("muteCheckBox"), Qt::LeftButton);
        QCOMPARE(f->dialog->m_nCurrentNumber, 0x10);
        QCOMPARE(f->Rows(), QStringLiteral("0010"));
        QVERIFY(!f->catalogue.Find(0x10)->mute);
        f->Click("addUpdateButton");
        QCOMPARE(f->Rows(), QStringLiteral("0010:m"));
    }

    void rowCheckBoxMutesAtOnce() {
        f->Add(0x10);
        f->Add(0x20, "kept");
        f->ClickRowCheckBox(1);
        QVERIFY(f->catalogue.Find(0x20)->mute);
        QCOMPARE(f->catalogue.Find(0x20)->comment, std::string("kept"));
        QCOMPARE(f->Rows(), QStringLiteral("0010,0020:m"));
        // The space bar toggles the current row's box.
        f->ClickRow(1);
        QTest::keyClick(f->List(), Qt::Key_Space);
        QVERIFY(!f->catalogue.Find(0x20)->mute);
        QVERIFY(!f->catalogue.Find(0x10)->mute);
    }

    // Qt would tick on the release, and a rebuild between press and release used to lose the click.
    void rowBoxTicksOnPressThroughARebuild_data() {
        QTest::addColumn<bool>("moveToEnd");
        QTest::newRow("a new sound appended meanwhile") << false;
        QTest::newRow("the pressed row moved meanwhile") << true;
    }
    void rowBoxTicksOnPressThroughARebuild() {
        QFETCH(bool, moveToEnd);
        f->Add(0x10);
        f->Add(0x20, "kept");
        f->Add(0x30);
        if (moveToEnd)
            f->Click("moveToEndCheckBox");
        f->Click("autoAddCheckBox");
        const QPoint box = f->RowBoxCentre(1);
        QTest::mousePress(f->List()->viewport(), Qt::LeftButton, {}, box);
        QVERIFY(f->catalogue.Find(0x20)->mute); // at once, as the button goes down
        // Between press and release: the pressed row's sound, then a new one, played and listed.
        QCOMPARE(f->Play({0x40}), std::vector<std::uint32_t>{0});
        QCOMPARE(f->Play({0x30}), std::vector<std::uint32_t>{0});
        QTest::mouseRelease(f->List()->viewport(), Qt::LeftButton, {}, box);
        QVERIFY(f->catalogue.Find(0x20)->mute); // ticked once, not toggled back by the release
        QCOMPARE(f->catalogue.Find(0x20)->comment, std::string("kept"));
        QCOMPARE(f->Rows(),
                 moveToEnd ? QStringLiteral("0010,0020:m,0040,0030") : QStringLiteral("0010,0020:m,0030,0040"));
        // The space bar unticks it again; so does a second press.
        QTest::keyClick(f->List(), Qt::Key_Space);
        QVERIFY(!f->catalogue.Find(0x20)->mute);
        f->ClickRowCheckBox(1);
        QVERIFY(f->catalogue.Find(0x20)->mute);
    }

    void rebuildKeepsCurrentRowSelectionAndScroll() {
        QTableView& list = *f->List();
        for (std::uint16_t number = 1; number <= 300; ++number)
            f->catalogue.AddOrUpdate(number, "", false, true, false, nullptr);
        f->dialog->RebuildSoundList(); // at the bottom now
        QCoreApplication::processEvents();
        const int bottom = list.verticalScrollBar()->value();
        QVERIFY(bottom > 0);
        const int row = list.rowAt(list.viewport()->height() / 2);
        f->ClickRow(row);
        const std::uint16_t current = f->Model().Row(row).number;
        f->Click("moveToEndCheckBox");
        f->Click("autoAddCheckBox");

        // A row from the top moves to the end: nothing in view needs scrolling.
        QCOMPARE(f->Play({1}), std::vector<std::uint32_t>{0});
        QCOMPARE(list.verticalScrollBar()->value(), bottom);
        QCOMPARE(f->Model().Row(list.currentIndex().row()).number, current);
        QCOMPARE(list.selectionModel()->selectedRows().size(), 1);
        QCOMPARE(f->Model().Row(list.selectionModel()->selectedRows().front().row()).number, current);
        QCOMPARE(f->NumberText(), QString::asprintf("%04x", current)); // the editor was not reloaded

        // A new sound at the end: the list scrolls by one whole row, no more.
        QCOMPARE(f->Play({0x400}), std::vector<std::uint32_t>{0});
        QCOMPARE(list.verticalScrollBar()->value(), bottom + 1);
        QCOMPARE(f->Model().Row(list.currentIndex().row()).number, current);
        const QRect last = list.visualRect(f->Model().index(300, 0));
        QVERIFY(list.viewport()->rect().contains(last));
        QCOMPARE(list.visualRect(f->Model().index(list.rowAt(0), 0)).top(), 0); // the top row is whole
    }

    void clickLoadsRowAndSecondClickStoresIt() {
        f->Add(0x10);
        f->Add(0x3a, "row comment", true);
        f->TypeNumber("77");
        f->TypeComment("typed");
        f->ClickRow(1);
        QCOMPARE(f->NumberText(), QStringLiteral("003a"));
        QCOMPARE(f->CommentText(), QStringLiteral("row comment"));
        QVERIFY(f->Checked("muteCheckBox"));
        QCOMPARE(f->dialog->m_nCurrentNumber, 0x3a);
        QCOMPARE(f->dialog->lastClickedRow, 1);

        // Changed elsewhere: the row shows it at once (the list has no copy of its own to lag
        // behind), and a second click stores and loads what the row shows.
        f->catalogue.AddOrUpdate(0x3a, "elsewhere", false, true, false, nullptr);
        QCOMPARE(f->Model().index(1, SoundListModel::CommentColumn).data().toString(), QStringLiteral("elsewhere"));
        f->ClickRow(1);
        QCOMPARE(f->catalogue.Find(0x3a)->comment, std::string("elsewhere"));
        QVERIFY(!f->catalogue.Find(0x3a)->mute);
        QCOMPARE(f->CommentText(), QStringLiteral("elsewhere"));

        // Empty space resets the second-click rule and keeps what was typed.
        f->TypeComment("unsaved");
        QTest::mouseClick(f->List()->viewport(), Qt::LeftButton, {}, QPoint(5, f->List()->viewport()->height() - 3));
        QCOMPARE(f->dialog->lastClickedRow, -1);
        QCOMPARE(f->CommentText(), QStringLiteral("unsaved"));
    }

    void keyboardMoveLoadsRow() {
        f->Add(0x10, "first");
        f->Add(0x20, "second", true);
        f->ClickRow(0);
        QTest::keyClick(f->List(), Qt::Key_Down);
        QCOMPARE(f->NumberText(), QStringLiteral("0020"));
        QCOMPARE(f->CommentText(), QStringLiteral("second"));
        QVERIFY(f->Checked("muteCheckBox"));
    }

    void listGainingFocusAloneLoadsNoRow_data() {
        QTest::addColumn<int>("reason");
        QTest::newRow("tab") << int(Qt::TabFocusReason);
        QTest::newRow("window comes back") << int(Qt::ActiveWindowFocusReason);
    }

    void listGainingFocusAloneLoadsNoRow() {
        QFETCH(int, reason);
        f->Add(0x10, "ten");
        f->Add(0x20, "twenty");
        f->TypeNumber("99");
        f->TypeComment("typed");
        QApplication::setActiveWindow(f->dialog.get());
        QVERIFY(QTest::qWaitForWindowActive(f->dialog.get()));
        f->Find<QWidget>("closeButton")->setFocus();
        f->List()->setFocus(static_cast<Qt::FocusReason>(reason));
        QVERIFY(f->List()->hasFocus());
        QCOMPARE(f->Find<QLineEdit>("numberEdit")->text(), QStringLiteral("99"));
        QCOMPARE(f->Find<QPlainTextEdit>("commentEdit")->toPlainText(), QStringLiteral("typed"));
        QVERIFY(!f->List()->currentIndex().isValid());
        // The keyboard still moves to a row, and that row is loaded.
        QTest::keyClick(f->List(), Qt::Key_Down);
        QVERIFY(f->List()->currentIndex().isValid());
        QCOMPARE(f->Find<QPlainTextEdit>("commentEdit")->toPlainText().isEmpty(), false);
        QVERIFY(f->Find<QPlainTextEdit>("commentEdit")->toPlainText() != QStringLiteral("typed"));
    }

    void rebuildIsNotAUserChange() {
        f->Add(0x10);
        f->ClickRow(0);
        f->TypeComment("typed");
        f->catalogue.AddOrUpdate(0x20, "", false, true, false, nullptr);
        f->dialog->RebuildSoundList();
        QCOMPARE(f->CommentText(), QStringLiteral("typed"));
        QCOMPARE(f->Rows(), QStringLiteral("0010,0020"));
    }

    void enterLooksNumberUp_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("comment");
        QTest::addColumn<bool>("mute");
        QTest::newRow("known") << "10"
                               << "known" << true;
        QTest::newRow("known with prefix") << "0x10"
                                           << "known" << true;
        QTest::newRow("unknown keeps the editor") << "11"
                                                  << "editor" << false;
    }
    void enterLooksNumberUp() {
        QFETCH(QString, typed);
        QFETCH(QString, comment);
        QFETCH(bool, mute);
        f->Add(0x10, "known", true);
        f->TypeComment("editor");
        f->TypeNumber(typed);
        QTest::keyClick(f->Find<QLineEdit>("numberEdit"), Qt::Key_Return);
        QCOMPARE(f->CommentText(), comment);
        QCOMPARE(f->Checked("muteCheckBox"), mute);
        QCOMPARE(f->Rows(), QStringLiteral("0010:m"));
        QVERIFY(f->dialog->isVisible());
    }

    void escapeAndEnterNeverClose_data() {
        QTest::addColumn<QString>("target");
        for (const char* name : {"closeButton", "soundList", "numberEdit", "commentEdit", "autoAddCheckBox"})
            QTest::newRow(name) << name;
    }
    void escapeAndEnterNeverClose() {
        QFETCH(QString, target);
        QWidget* widget = f->dialog->findChild<QWidget*>(target);
        for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter})
            QTest::keyClick(widget, key);
        QVERIFY(f->dialog->isVisible());
        QCOMPARE(f->dialog->result(), 0);
    }

    void closeButtonReadsFieldsCloseBoxDoesNot() {
        f->TypeNumber("42");
        f->Click("closeButton");
        QVERIFY(!f->dialog->isVisible());
        QCOMPARE(f->dialog->result(), int(QDialog::Accepted));
        QCOMPARE(f->dialog->m_strNumber, std::string("42"));

        DialogFixture other;
        other.TypeNumber("43");
        QVERIFY(other.dialog->close());
        QVERIFY(other.dialog->m_strNumber.empty());
    }

    void runningDialogBlocksNoOtherWindow() {
        // The file dialogs have no owner: while the dialog runs they must still take input, so the
        // dialog's own loop may not make it application-modal.
        f->dialog.reset();
        CKestruneDlg dialog(f->services);
        bool checked = false;
        QTimer::singleShot(0, &dialog, [&] {
            checked = dialog.isVisible() && QApplication::activeModalWidget() == nullptr &&
                      dialog.windowModality() == Qt::NonModal;
            QTest::mouseClick(dialog.findChild<QAbstractButton*>(QStringLiteral("closeButton")), Qt::LeftButton);
        });
        QCOMPARE(dialog.DoModal(), int(QDialog::Accepted));
        QVERIFY(checked);
    }

    void clearEmptiesListKeepsEditor() {
        f->Add(0x10);
        f->Add(0x20);
        f->TypeNumber("55");
        f->TypeComment("stays");
        f->Click("clearButton");
        QCOMPARE(f->Model().rowCount(), 0);
        QCOMPARE(f->catalogue.Count(), std::size_t(0));
        QCOMPARE(f->NumberText(), QStringLiteral("55"));
        QCOMPARE(f->CommentText(), QStringLiteral("stays"));
    }

    void rebuildShowsLastRow() {
        QTableView& list = *f->List();
        for (std::uint16_t number = 1; number <= 300; ++number)
            f->catalogue.AddOrUpdate(number, "", false, true, false, nullptr);
        f->TypeNumber("1ab");
        f->Click("addUpdateButton");
        QCoreApplication::processEvents(); // the scroll bars appear with the rows
        const QRect last = list.visualRect(f->Model().index(300, 0));
        QVERIFY(list.viewport()->rect().contains(last));
        QVERIFY(list.verticalScrollBar()->value() > 0);
    }

    void numberFieldStopsAtSevenCharacters() {
        auto* edit = f->Find<QLineEdit>("numberEdit");
        QTest::keyClicks(edit, "123456789");
        QCOMPARE(edit->text(), QStringLiteral("1234567"));
        edit->clear();
        QGuiApplication::clipboard()->setText(QStringLiteral("abcdef0123"));
        QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(edit->text(), QStringLiteral("abcdef0"));
    }
};

QTEST_MAIN(DialogCommandsTest)
#include "DialogCommandsTest.moc"
