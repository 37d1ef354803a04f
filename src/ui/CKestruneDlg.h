#pragma once

#include "DialogServices.h"
#include "ObservedDialog.h"
#include "PlayedSoundQueue.h"
#include "SoundListView.h"
#include "ThreadWake.h"

#include <QDialog>
#include <QIcon>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class QCheckBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class FileChooser;
class MessageBoxSink;
class SoundListModel;
class GameSoundCommands;
class QMenu;
class SoundTableView;
struct TemplateControl;

// The tool's one window: the sound list on the left, the entry editor and the options on the
// right. Every handler runs on the UI thread; the hook side reaches the dialog only through
// ObservedDialog: AutoAddOn, and QueuePlayedSound, which queues a played sound and returns. The UI
// thread records what is queued (AutoAddPlayedSound) when it is next free: the verdict never waits
// for the list.
//
// Fields keep the names of the Windows original. Texts are narrow strings in the system code page;
// the comment holds its line breaks as CR LF.
class CKestruneDlg final : public QDialog, public SoundListView, public ObservedDialog {
    Q_OBJECT

public:
    explicit CKestruneDlg(DialogServices& services);
    ~CKestruneDlg() override;

    // Builds the controls from template 102, sets the icons, sets up the list, clears the
    // catalogue, publishes the dialog and installs the observers. Returns true: the focus goes to
    // the first control of the tab order ("終了").
    bool OnInitDialog();
    // OnInitDialog, then the modal loop.
    int DoModal();

    // true: controls to fields; false: fields to controls.
    bool UpdateData(bool saveAndValidate);

    // Test seams; null restores the default (the system's file dialogs, a message box).
    void SetFileChooser(FileChooser* chooser);
    void SetMessageBoxSink(MessageBoxSink* sink);

    bool SaveCatalogueFile(const QString& path);
    bool LoadCatalogueFile(const QString& path);

    // SoundListView (UI thread)
    void RebuildSoundList() override;
    void DeleteAllSoundRows() override;

    // ObservedDialog (pump thread)
    bool AutoAddOn() const override { return m_bAutoAdd.load(); }
    void QueuePlayedSound(std::uint16_t number) override;
    void GameFolderNamed(const std::string& folder) override;

    // The game's own sounds behind the list: names, and hearing one on this PC.
    GameSoundCommands& GameSounds() { return *m_gameSounds; }
    // The list's context menu for a row, built afresh (a test reads it; the list shows it).
    std::unique_ptr<QMenu> SoundListMenu(int row);

    // UI thread: records one played sound in the catalogue (and so in the list).
    void AutoAddPlayedSound(std::uint16_t number);
    // The sounds still waiting to be recorded.
    const PlayedSoundQueue& PlayedSounds() const { return m_playedSounds; }

    // Command handlers, named after the control and the event.
    void OnClickedOk();
    void OnClickedClear();
    void OnClickedAutoAdd();
    void OnClickedAddUpdate();
    void OnClickedLoad();
    void OnClickedSave();
    void OnClickedDelete();
    void OnItemChangedSoundListStateImage(int row, bool mute);
    void OnItemChangedSoundListFocused(int row);
    void OnClickedPlay();
    void OnClickSoundList(int row);
    void OnClickedMute();

    QIcon m_hIcon;
    std::atomic<bool> m_bAutoAdd{false};
    SoundTableView* m_listSounds = nullptr;
    QLineEdit* m_editNumber = nullptr;
    QPlainTextEdit* m_editComment = nullptr;
    QLineEdit* m_editHidden = nullptr;
    QPushButton* m_buttonOk = nullptr;
    QPushButton* m_buttonLoad = nullptr;
    QPushButton* m_buttonClear = nullptr;
    QPushButton* m_buttonSave = nullptr;
    QPushButton* m_buttonPlay = nullptr;
    QPushButton* m_buttonAddUpdate = nullptr;
    QPushButton* m_buttonDelete = nullptr;
    QCheckBox* m_checkAutoAdd = nullptr;
    QCheckBox* m_checkMute = nullptr;
    QCheckBox* m_checkSortOnSave = nullptr;
    QCheckBox* m_checkMoveToEnd = nullptr;
    bool m_bMute = false;
    std::int32_t m_nCurrentNumber = 0;
    std::string m_strNumber;
    std::string m_strComment;
    std::string m_strHiddenText;
    bool m_bMoveToEnd = false;
    bool m_bSortOnSave = false;

    // Row index of the last click on the list (-1: empty space, or none yet); survives rebuilds.
    int lastClickedRow = -1;

    SoundListModel& ListModel() { return *m_model; }

protected:
    void DoDataExchange(bool saveAndValidate);
    // Sees the controls' key presses before they do: Enter in the number field looks the number up.
    // Escape and Enter go on to the control; keyPressEvent keeps the dialog from acting on them.
    bool PreTranslateMessage(QObject* target, QEvent* event);

    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void done(int result) override;

private:
    QWidget* CreateControl(const TemplateControl& control, const class DialogUnits& units);
    void CreateControls();
    void WidenNumberField();
    void SetUpSoundList();
    void LookUpTypedNumber();
    void LoadRowIntoEditor(int row);
    void StoreRow(int row, bool mute);
    // Records every sound waiting; drops them inside a command.
    void RecordPlayedSounds();
    // m_bAutoAdd, and whether the pump may queue sounds: both change together.
    void SetAutoAdd(bool on);
    // The command frame's "suspend automatic adding" and "resume". Commands nest: the file
    // dialogs leave the window usable, so another command can run inside Load or Save. Only the
    // outermost resume switches auto-add back on; meanwhile the box's state is kept aside.
    void SuspendAutoAdd();
    void ResumeAutoAdd();
    // Stops the hook side from reaching the dialog; runs once, when the dialog ends.
    void Detach();
    // The list's context menu, at a row (-1: none) and a place on the screen.
    void OnContextMenuSoundList(int row, const QPoint& globalPos);
    // The list's own commands on a row (its accessible actions).
    void OnRowCommand(int row, const QString& command);
    // The comment field's greyed placeholder: the name of the sound in the number field.
    void UpdateCommentPlaceholder();
    // The game folder the hook side named last, taken up on the UI thread.
    void TakeNamedFolder();

    DialogServices& m_services;
    SoundListModel* m_model = nullptr;
    ThreadWake m_wake; // runs RecordPlayedSounds
    PlayedSoundQueue m_playedSounds;
    std::unique_ptr<FileChooser> m_defaultFileChooser;
    std::unique_ptr<MessageBoxSink> m_defaultMessageBox;
    FileChooser* m_fileChooser = nullptr;
    MessageBoxSink* m_messageBox = nullptr;
    int m_nSuspendDepth = 0;
    bool m_bKeptAutoAdd = false; // m_bAutoAdd to resume with, while suspended
    bool m_bInitialised = false;
    bool m_bDetached = false;
    std::unique_ptr<GameSoundCommands> m_gameSounds;
    std::mutex m_namedFolderLock;
    std::optional<std::string> m_namedFolder; // from the pump thread, not yet taken up
    ThreadWake m_folderWake{[this] { TakeNamedFolder(); }};
};
