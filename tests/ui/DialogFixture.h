#pragma once

#include "CKestruneDlg.h"
#include "DialogServices.h"
#include "FakeHookLibrary.h"
#include "FileChooser.h"
#include "HookSide.h"
#include "MessageBoxSink.h"
#include "OutboundPackets.h"
#include "SoundListModel.h"
#include "SoundTableView.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QDeadlineTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTableView>
#include <QTest>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// Answers the file dialogs; `onChoose` runs while the "dialog" is open.
struct ScriptedFileChooser final : FileChooser {
    std::optional<QString> path;
    std::function<void()> onChoose;
    int calls = 0;

    std::optional<QString> Choose() {
        ++calls;
        if (onChoose)
            onChoose();
        return path;
    }
    std::optional<QString> ChooseOpenPath() override { return Choose(); }
    std::optional<QString> ChooseSavePath() override { return Choose(); }
};

struct RecordedMessages final : MessageBoxSink {
    struct Message {
        QString text;
        QString caption;
    };
    std::vector<Message> shown;
    void ShowMessage(const QString& text, const QString& caption) override { shown.push_back({text, caption}); }
};

// Keeps the UI thread's events flowing until `done` holds; false when `timeoutMs` runs out (a hang
// guard only). Unlike QTest::qWaitFor it never sleeps between looks, so sounds waiting to be
// recorded are recorded at once.
template <class F> bool ProcessEventsUntil(F done, int timeoutMs = 30000) {
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents();
        std::this_thread::yield();
    }
    return true;
}

inline std::vector<std::uint8_t> SoundPacket(std::uint16_t number) {
    return PlaySoundPacket(number);
}

// The whole program around one dialog: the fake hook library and the program's hook side on it.
struct DialogFixture {
    FakeHookLibrary hook;
    HookSide hookSide{hook, nullptr};
    SoundCatalogue& catalogue = hookSide.catalogue;
    PlayerPosition& position = hookSide.playerPosition;
    HookBridge& bridge = hookSide.bridge;
    DialogServices services{hookSide, hook};
    ScriptedFileChooser chooser;
    RecordedMessages messages;
    std::unique_ptr<CKestruneDlg> dialog;

    DialogFixture() {
        dialog = std::make_unique<CKestruneDlg>(services);
        dialog->SetFileChooser(&chooser);
        dialog->SetMessageBoxSink(&messages);
        dialog->OnInitDialog();
        dialog->show();
    }
    ~DialogFixture() {
        dialog.reset();
        hookSide.Stop();
    }

    template <class T> T* Find(const char* name) const { return dialog->findChild<T*>(QString::fromLatin1(name)); }
    QTableView* List() const { return Find<QTableView>("soundList"); }
    SoundListModel& Model() const { return dialog->ListModel(); }

    void Click(const char* name) const { QTest::mouseClick(Find<QAbstractButton>(name), Qt::LeftButton); }
    void TypeNumber(const QString& text) const {
        auto* edit = Find<QLineEdit>("numberEdit");
        edit->clear();
        QTest::keyClicks(edit, text);
    }
    void TypeComment(const QString& text) const {
        auto* edit = Find<QPlainTextEdit>("commentEdit");
        edit->clear();
        QTest::keyClicks(edit, text);
    }
    QString NumberText() const { return Find<QLineEdit>("numberEdit")->text(); }
    QString CommentText() const { return Find<QPlainTextEdit>("commentEdit")->toPlainText(); }
    bool Checked(const char* name) const { return Find<QAbstractButton>(name)->isChecked(); }

    // "number:m" for a muted row, "number" otherwise, comma separated, in list order.
    QString Rows() const {
        QStringList rows;
        for (int row = 0; row < Model().rowCount(); ++row) {
            const SoundEntry& entry = Model().Row(row);
            rows << QString::asprintf("%04x%s", entry.number, entry.mute ? ":m" : "");
        }
        return rows.join(QLatin1Char(','));
    }

    QPoint RowCentre(int row) const {
        return List()->visualRect(Model().index(row, SoundListModel::CommentColumn)).center();
    }
    void ClickRow(int row) const { QTest::mouseClick(List()->viewport(), Qt::LeftButton, {}, RowCentre(row)); }
    QPoint RowBoxCentre(int row) const { return dialog->m_listSounds->CheckBoxRect(row).center(); }
    void ClickRowCheckBox(int row) const {
        QTest::mouseClick(List()->viewport(), Qt::LeftButton, {}, RowBoxCentre(row));
    }

    // Feeds sound packets through the bridge and waits for their verdicts and for every sound they
    // queued to be recorded, keeping the UI thread responsive meanwhile (auto-add is carried out there).
    std::vector<std::uint32_t> Play(const std::vector<std::uint16_t>& numbers) {
        const std::size_t first = hook.VerdictCount();
        for (std::uint16_t number : numbers)
            hook.PushPacket(SoundPacket(number));
        const std::size_t wanted = first + numbers.size();
        if (!ProcessEventsUntil([&] { return hook.VerdictCount() >= wanted && dialog->PlayedSounds().Waiting() == 0; }))
            return {};
        const std::vector<std::uint32_t> all = hook.Verdicts();
        return {all.begin() + static_cast<std::ptrdiff_t>(first), all.end()};
    }

    void Add(std::uint16_t number, const std::string& comment = {}, bool mute = false) {
        catalogue.AddOrUpdate(number, comment, mute, true, false, nullptr);
        dialog->RebuildSoundList();
    }
};
