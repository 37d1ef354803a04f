#include "CKestruneDlg.h"

#include "CatalogueFile.h"
#include "DialogFileChooser.h"
#include "DialogMessageBox.h"
#include "DialogTemplate.h"
#include "GameSoundCommands.h"
#include "HookBridge.h"
#include "HookSide.h"
#include "NarrowText.h"
#include "PacketHandler.h"
#include "PlayCommand.h"
#include "SoundCatalogue.h"
#include "SoundListAccessible.h"
#include "SoundListModel.h"
#include "SoundNumber.h"
#include "SoundTableView.h"
#include "TemplateGroupBox.h"
#include "WrappingCheckBox.h"

#include <QEventLoop>
#include <QFile>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyleOptionFrame>
#include <QTextDocument>

#include <algorithm>
#include <vector>

static constexpr int kNumberTextLimit = 7;
static constexpr int kHiddenTextLimit = 4;

CKestruneDlg::CKestruneDlg(DialogServices& services)
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowCloseButtonHint),
      m_services(services), m_wake([this] { RecordPlayedSounds(); }), m_playedSounds([this] { m_wake.Wake(); }) {
    for (int size : {16, 24, 32, 48, 256}) {
        const QString file = QStringLiteral(":/icons/kestrune-%1.png").arg(size);
        if (QFile::exists(file))
            m_hIcon.addFile(file, QSize(size, size));
    }
    InstallDialogAccessibility();
    m_model = new SoundListModel(m_services.hook.catalogue, this);
    m_defaultFileChooser = std::make_unique<DialogFileChooser>();
    m_defaultMessageBox = std::make_unique<DialogMessageBox>(*this);
    m_fileChooser = m_defaultFileChooser.get();
    m_messageBox = m_defaultMessageBox.get();
    m_gameSounds = std::make_unique<GameSoundCommands>(
        [this](std::uint16_t number) {
            RunPlayCommand(m_services.hook.bridge, m_services.raiser, m_services.hook.playerPosition,
                           FormatSoundNumber(number));
        },
        this);
    m_model->SetGameSoundNames(&m_gameSounds->Names());
    connect(m_gameSounds.get(), &GameSoundCommands::Failed, this,
            [this](const QString& message) { m_messageBox->ShowMessage(message, QStringLiteral("試聴エラー")); });
    connect(&m_gameSounds->Names(), &GameSoundNames::Named, this, [this] { UpdateCommentPlaceholder(); });
    connect(&m_gameSounds->Names(), &GameSoundNames::FolderChanged, this, [this] { UpdateCommentPlaceholder(); });
}

CKestruneDlg::~CKestruneDlg() {
    Detach();
}

void CKestruneDlg::SetFileChooser(FileChooser* chooser) {
    m_fileChooser = chooser ? chooser : m_defaultFileChooser.get();
}

void CKestruneDlg::SetMessageBoxSink(MessageBoxSink* sink) {
    m_messageBox = sink ? sink : m_defaultMessageBox.get();
}

// ---------------------------------------------------------------------------------------------
// Start-up and end

bool CKestruneDlg::OnInitDialog() {
    if (m_bInitialised)
        return true;
    CreateControls();
    UpdateData(false);

    setWindowIcon(m_hIcon);

    SetUpSoundList();
    m_services.hook.catalogue.Clear(this);

    m_bInitialised = true;
    m_services.hook.activeDialog.Publish(*this);
    m_services.hook.InstallObservers();
    // A folder named before the dialog was there to hear it.
    m_gameSounds->Names().SetFolder(m_services.hook.GameFolder());

    m_buttonOk->setFocus();
    return true;
}

int CKestruneDlg::DoModal() {
    OnInitDialog();
    // The dialog has no owner, so its modal loop disables no other window: QDialog::exec() would
    // block the unowned file dialogs instead, leaving Load and Save unusable.
    QEventLoop loop;
    connect(this, &QDialog::finished, &loop, &QEventLoop::quit);
    show();
    loop.exec();
    return result();
}

void CKestruneDlg::done(int result) {
    Detach();
    QDialog::done(result);
}

void CKestruneDlg::Detach() {
    if (m_bDetached)
        return;
    m_bDetached = true;
    if (m_bInitialised) {
        // Waits only for a pump inside QueuePlayedSound, which never waits itself.
        m_services.hook.activeDialog.Withdraw();
        m_services.hook.UninstallObservers();
    }
    // Sounds still waiting are dropped with the dialog.
    m_playedSounds.SetOpen(false);
    m_wake.Close();
    m_folderWake.Close();
}

// ---------------------------------------------------------------------------------------------
// Controls

QWidget* CKestruneDlg::CreateControl(const TemplateControl& control, const DialogUnits& units) {
    const QString caption = QString::fromUtf8(control.caption);
    QWidget* widget = nullptr;
    switch (control.kind) {
    case ControlKind::PushButton: {
        auto* button = new QPushButton(caption, this);
        // "終了" is drawn as the default button; Enter still never presses a button (see
        // PreTranslateMessage), and none becomes the default on focus.
        button->setAutoDefault(false);
        button->setDefault(control.style & kDefaultButton);
        widget = button;
        break;
    }
    case ControlKind::GroupBox:
        widget = new TemplateGroupBox(caption, this);
        break;
    case ControlKind::ListView:
        widget = new SoundTableView(this);
        break;
    case ControlKind::Label: {
        auto* label = new QLabel(caption, this);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        widget = label;
        break;
    }
    case ControlKind::CheckBox:
        if (control.style & kMultiLine)
            widget = new WrappingCheckBox(caption, this);
        else
            widget = new QCheckBox(caption, this);
        break;
    case ControlKind::LineEdit: {
        auto* edit = new QLineEdit(this);
        if (control.style & kAlignRight)
            edit->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        else if (control.style & kAlignCentre)
            edit->setAlignment(Qt::AlignCenter);
        edit->setReadOnly(control.style & kReadOnly);
        widget = edit;
        break;
    }
    case ControlKind::TextEdit: {
        auto* edit = new QPlainTextEdit(this);
        edit->setLineWrapMode(QPlainTextEdit::WidgetWidth);
        edit->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        edit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        edit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        // As in a dialog's multi-line edit: Tab moves on, Enter breaks the line.
        edit->setTabChangesFocus(true);
        widget = edit;
        break;
    }
    }
    widget->setObjectName(QString::fromLatin1(control.objectName));
    QRect geometry = units.ToPixels(control);
    // The substitute font sets kana wider than MS UI Gothic: a static text that would be cut
    // off takes the room it needs (nothing stands to the right of either label).
    if (control.kind == ControlKind::Label)
        geometry.setWidth(std::max(geometry.width(), widget->sizeHint().width()));
    widget->setGeometry(geometry);
    if (!(control.style & kTabStop))
        widget->setFocusPolicy(Qt::NoFocus);
    if (control.style & kHidden)
        widget->setVisible(false);
    widget->installEventFilter(this);
    return widget;
}

void CKestruneDlg::CreateControls() {
    const DialogTemplate& dialogTemplate = MainDialogTemplate();
    const QFont font = DialogFont(dialogTemplate);
    setFont(font);
    const DialogUnits units(font);

    setWindowTitle(QString::fromUtf8(dialogTemplate.caption));
    setSizeGripEnabled(false);
    resize(units.ToPixels(QSize(dialogTemplate.width, dialogTemplate.height)));

    std::vector<QWidget*> tabOrder;
    std::vector<QWidget*> groupBoxes;
    for (const TemplateControl& control : dialogTemplate.controls) {
        QWidget* widget = CreateControl(control, units);
        if (control.style & kTabStop)
            tabOrder.push_back(widget);
        if (control.kind == ControlKind::GroupBox)
            groupBoxes.push_back(widget);
        switch (control.id) {
        case 1:
            m_buttonOk = static_cast<QPushButton*>(widget);
            break;
        case 1000:
            m_listSounds = static_cast<SoundTableView*>(widget);
            break;
        case 1001:
            m_checkAutoAdd = static_cast<QCheckBox*>(widget);
            break;
        case 1002:
            m_editNumber = static_cast<QLineEdit*>(widget);
            break;
        case 1003:
            m_editComment = static_cast<QPlainTextEdit*>(widget);
            break;
        case 1004:
            m_buttonClear = static_cast<QPushButton*>(widget);
            break;
        case 1005:
            m_buttonLoad = static_cast<QPushButton*>(widget);
            break;
        case 1006:
            m_buttonSave = static_cast<QPushButton*>(widget);
            break;
        case 1007:
            m_buttonAddUpdate = static_cast<QPushButton*>(widget);
            break;
        case 1008:
            m_buttonDelete = static_cast<QPushButton*>(widget);
            break;
        case 1009:
            m_buttonPlay = static_cast<QPushButton*>(widget);
            break;
        case 1010:
            m_editHidden = static_cast<QLineEdit*>(widget);
            break;
        case 1011:
            m_checkMute = static_cast<QCheckBox*>(widget);
            break;
        case 1012:
            m_checkSortOnSave = static_cast<QCheckBox*>(widget);
            break;
        case 1014:
            m_checkMoveToEnd = static_cast<QCheckBox*>(widget);
            break;
        default:
            break;
        }
    }
    WidenNumberField();
    // The fields are named by the labels above them, as a Windows dialog names an edit by the
    // static text before it.
    for (const auto& [label, field] : {std::pair<const char*, QWidget*>{"numberLabel", m_editNumber},
                                       std::pair<const char*, QWidget*>{"commentLabel", m_editComment}}) {
        auto* text = findChild<QLabel*>(QString::fromLatin1(label), Qt::FindDirectChildrenOnly);
        text->setBuddy(field);
        field->setAccessibleName(text->text());
    }
    // Group boxes only frame their neighbours; below them, they would swallow their clicks.
    for (QWidget* groupBox : groupBoxes)
        groupBox->lower();
    for (std::size_t i = 1; i < tabOrder.size(); ++i)
        QWidget::setTabOrder(tabOrder[i - 1], tabOrder[i]);

    connect(m_buttonOk, &QPushButton::clicked, this, &CKestruneDlg::OnClickedOk);
    connect(m_buttonClear, &QPushButton::clicked, this, &CKestruneDlg::OnClickedClear);
    connect(m_checkAutoAdd, &QCheckBox::clicked, this, &CKestruneDlg::OnClickedAutoAdd);
    connect(m_buttonAddUpdate, &QPushButton::clicked, this, &CKestruneDlg::OnClickedAddUpdate);
    connect(m_buttonLoad, &QPushButton::clicked, this, &CKestruneDlg::OnClickedLoad);
    connect(m_buttonSave, &QPushButton::clicked, this, &CKestruneDlg::OnClickedSave);
    connect(m_buttonDelete, &QPushButton::clicked, this, &CKestruneDlg::OnClickedDelete);
    connect(m_buttonPlay, &QPushButton::clicked, this, &CKestruneDlg::OnClickedPlay);
    connect(m_checkMute, &QCheckBox::clicked, this, &CKestruneDlg::OnClickedMute);
}

void CKestruneDlg::WidenNumberField() {
    // IPAPGothic sets digits wider than MS UI Gothic: at the template's width the field would not
    // show the seven characters it takes ("1234567" showed as "234567"). It is widened to show
    // seven of any digit or lower-case hexadecimal letter, as the labels were widened to show
    // their captions; "再生" beside it moves right by as much, and the mute box as far as it must to
    // stay a few pixels clear of it (its caption needs all of its width).
    static constexpr int kMinimumGap = 4;
    QLineEdit& edit = *m_editNumber;
    const QFontMetrics metrics(edit.font());
    int widest = 0;
    for (const QChar c : QStringLiteral("0123456789abcdefx-"))
        widest = std::max(widest, metrics.horizontalAdvance(QString(kNumberTextLimit, c)));
    QStyleOptionFrame option;
    option.initFrom(&edit);
    option.lineWidth = edit.style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, &edit);
    option.rect = edit.rect();
    const QRect contents = edit.style()->subElementRect(QStyle::SE_LineEditContents, &option, &edit);
    // The edit keeps two pixels on either side of its text, and one for the cursor.
    const int extra = widest + 2 * 2 + 1 - contents.width();
    if (extra <= 0)
        return;
    edit.resize(edit.width() + extra, edit.height());
    QRect play = m_buttonPlay->geometry().translated(extra, 0);
    m_buttonPlay->setGeometry(play);
    const int gap = m_checkMute->x() - play.right() - 1;
    if (gap < kMinimumGap)
        m_checkMute->move(m_checkMute->x() + kMinimumGap - gap, m_checkMute->y());
}

void CKestruneDlg::SetUpSoundList() {
    SoundTableView& list = *m_listSounds;
    list.setModel(m_model);
    list.setShowGrid(true);
    list.setSelectionBehavior(QAbstractItemView::SelectRows);
    list.setSelectionMode(QAbstractItemView::SingleSelection);
    list.setEditTriggers(QAbstractItemView::NoEditTriggers);
    list.setSortingEnabled(false);
    list.setWordWrap(false);
    list.setTabKeyNavigation(false);
    list.setCornerButtonEnabled(false);

    QHeaderView& columns = *list.horizontalHeader();
    columns.setSectionsClickable(false);
    columns.setSectionsMovable(false);
    columns.setHighlightSections(false);
    columns.setStretchLastSection(false);
    columns.setSectionResizeMode(QHeaderView::Interactive);
    columns.resizeSection(SoundListModel::NumberColumn, 68);
    columns.resizeSection(SoundListModel::CommentColumn, 170);

    // Every row the same height, never measured: a rebuild of 65,534 rows stays cheap.
    QHeaderView& rows = *list.verticalHeader();
    rows.hide();
    rows.setSectionResizeMode(QHeaderView::Fixed);
    rows.setDefaultSectionSize(list.fontMetrics().height() + 4);

    // The selection stays visible when the list does not have the focus.
    QPalette palette = list.palette();
    for (QPalette::ColorRole role : {QPalette::Highlight, QPalette::HighlightedText})
        palette.setColor(QPalette::Inactive, role, palette.color(QPalette::Active, role));
    list.setPalette(palette);

    connect(m_model, &SoundListModel::MuteChangedByUser, this, &CKestruneDlg::OnItemChangedSoundListStateImage);
    list.SetRowCommands(
        {GameSoundCommands::HearText(), GameSoundCommands::PlayInGameText(), GameSoundCommands::StopText()});
    connect(&list, &SoundTableView::RowMenuRequested, this, &CKestruneDlg::OnContextMenuSoundList);
    connect(&list, &SoundTableView::RowCommandRequested, this, &CKestruneDlg::OnRowCommand);
    connect(m_editNumber, &QLineEdit::textChanged, this, &CKestruneDlg::UpdateCommentPlaceholder);
    // A row that moves with the catalogue's change is not one the user focused.
    connect(list.selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current, const QModelIndex&) {
                if (!m_model->Following() && current.isValid())
                    OnItemChangedSoundListFocused(current.row());
            });
    connect(&list, &SoundTableView::Clicked, this, &CKestruneDlg::OnClickSoundList);
}

// ---------------------------------------------------------------------------------------------
// Data exchange

// Only a changed text is set, so the caret and the undo history survive a write-back.
static void SetTextIfChanged(QLineEdit& edit, const QString& text) {
    if (edit.text() != text)
        edit.setText(text);
}

static QString PlainText(const QPlainTextEdit& edit) {
    // toPlainText would also turn no-break spaces into blanks.
    QString text = edit.document()->toRawText();
    text.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    text.replace(QChar::LineSeparator, QLatin1Char('\n'));
    return text;
}

bool CKestruneDlg::UpdateData(bool saveAndValidate) {
    if (!m_editNumber)
        return false;
    DoDataExchange(saveAndValidate);
    return true;
}

void CKestruneDlg::DoDataExchange(bool saveAndValidate) {
    if (saveAndValidate) {
        m_strComment = ToCrLf(QStringToNarrow(PlainText(*m_editComment)));
    } else {
        const QString comment = NarrowToQString(ToLf(m_strComment));
        if (PlainText(*m_editComment) != comment)
            m_editComment->setPlainText(comment);
    }

    // While a command has auto-add suspended, the box speaks for the value it will resume with.
    if (saveAndValidate) {
        if (m_nSuspendDepth > 0)
            m_bKeptAutoAdd = m_checkAutoAdd->isChecked();
        else
            SetAutoAdd(m_checkAutoAdd->isChecked());
    } else {
        m_checkAutoAdd->setChecked(m_nSuspendDepth > 0 ? m_bKeptAutoAdd : m_bAutoAdd.load());
    }

    m_editNumber->setMaxLength(kNumberTextLimit);
    if (saveAndValidate)
        m_strNumber = QStringToNarrow(m_editNumber->text());
    else
        SetTextIfChanged(*m_editNumber, NarrowToQString(m_strNumber));

    m_editHidden->setMaxLength(kHiddenTextLimit);
    if (saveAndValidate)
        m_strHiddenText = QStringToNarrow(m_editHidden->text());
    else
        SetTextIfChanged(*m_editHidden, NarrowToQString(m_strHiddenText));

    if (saveAndValidate)
        m_bMute = m_checkMute->isChecked();
    else
        m_checkMute->setChecked(m_bMute);

    if (saveAndValidate) {
        m_bMoveToEnd = m_checkMoveToEnd->isChecked();
        m_playedSounds.SetReplayMovesToBack(m_bMoveToEnd);
    } else
        m_checkMoveToEnd->setChecked(m_bMoveToEnd);

    if (saveAndValidate)
        m_bSortOnSave = m_checkSortOnSave->isChecked();
    else
        m_checkSortOnSave->setChecked(m_bSortOnSave);
}

// ---------------------------------------------------------------------------------------------
// The list

void CKestruneDlg::RebuildSoundList() {
    // The rows follow the catalogue change by change; what is left is to show the last one.
    if (m_listSounds)
        m_listSounds->ShowLastRow();
}

void CKestruneDlg::DeleteAllSoundRows() {
    // Called with the catalogue perhaps locked: the catalogue's own reset empties the rows.
}

void CKestruneDlg::LoadRowIntoEditor(int row) {
    const SoundEntry& entry = m_model->Row(row);
    m_strNumber = FormatSoundNumber(entry.number);
    m_nCurrentNumber = ParseSoundNumber(m_strNumber);
    m_strComment = entry.comment;
    m_bMute = entry.mute;
}

void CKestruneDlg::StoreRow(int row, bool mute) {
    const SoundEntry& entry = m_model->Row(row);
    const std::string comment = entry.comment; // the entry is what gets overwritten
    m_services.hook.catalogue.AddOrUpdate(entry.number, comment, mute, true, false, this);
}

// ---------------------------------------------------------------------------------------------
// Commands

void CKestruneDlg::OnClickedOk() {
    UpdateData(true);
    accept();
}

void CKestruneDlg::OnClickedClear() {
    UpdateData(true);
    SuspendAutoAdd();
    m_services.hook.catalogue.Clear(this);
    RebuildSoundList();
    ResumeAutoAdd();
    UpdateData(false);
}

void CKestruneDlg::OnClickedAutoAdd() {
    UpdateData(true);
}

void CKestruneDlg::OnClickedAddUpdate() {
    UpdateData(true);
    SuspendAutoAdd();
    const std::int32_t number = ParseSoundNumber(m_strNumber);
    m_nCurrentNumber = number;
    if (number != 0)
        m_services.hook.catalogue.AddOrUpdate(number, m_strComment, m_bMute, true, true, this);
    RebuildSoundList();
    ResumeAutoAdd();
    UpdateData(false);
}

void CKestruneDlg::OnClickedDelete() {
    UpdateData(true);
    SuspendAutoAdd();
    const std::int32_t number = ParseSoundNumber(m_strNumber);
    if (number != 0)
        m_services.hook.catalogue.Remove(number);
    RebuildSoundList();
    ResumeAutoAdd();
    UpdateData(false);
}

void CKestruneDlg::OnClickedMute() {
    UpdateData(true);
    SuspendAutoAdd();
    m_nCurrentNumber = ParseSoundNumber(m_strNumber);
    ResumeAutoAdd();
    UpdateData(false);
}

void CKestruneDlg::OnItemChangedSoundListStateImage(int row, bool mute) {
    if (!m_model->HasRow(row))
        return;
    UpdateData(true);
    SuspendAutoAdd();
    StoreRow(row, mute);
    ResumeAutoAdd();
    UpdateData(false);
}

void CKestruneDlg::OnItemChangedSoundListFocused(int row) {
    if (!m_model->HasRow(row))
        return;
    UpdateData(true);
    SuspendAutoAdd();
    LoadRowIntoEditor(row);
    StoreRow(row, m_model->Row(row).mute);
    ResumeAutoAdd();
    UpdateData(false);
}

void CKestruneDlg::OnClickSoundList(int row) {
    // Unlike the Windows original this reads the fields first: writing them back unread would
    // undo what the user had typed or ticked since the last command.
    UpdateData(true);
    SuspendAutoAdd();
    if (row != -1 && row == lastClickedRow && m_model->HasRow(row)) {
        LoadRowIntoEditor(row);
        StoreRow(row, m_model->Row(row).mute);
    }
    lastClickedRow = row;
    ResumeAutoAdd();
    UpdateData(false);
}

void CKestruneDlg::OnClickedLoad() {
    UpdateData(true);
    SuspendAutoAdd();
    if (const std::optional<QString> path = m_fileChooser->ChooseOpenPath())
        LoadCatalogueFile(*path);
    RebuildSoundList();
    ResumeAutoAdd();
    UpdateData(false);
}

void CKestruneDlg::OnClickedSave() {
    SuspendAutoAdd();
    if (const std::optional<QString> path = m_fileChooser->ChooseSavePath())
        SaveCatalogueFile(*path);
    ResumeAutoAdd();
}

void CKestruneDlg::GameFolderNamed(const std::string& folder) {
    std::lock_guard lock(m_namedFolderLock);
    m_namedFolder = folder;
    m_folderWake.Wake();
}

void CKestruneDlg::TakeNamedFolder() {
    std::optional<std::string> folder;
    {
        std::lock_guard lock(m_namedFolderLock);
        folder.swap(m_namedFolder);
    }
    if (folder)
        m_gameSounds->Names().SetFolder(*folder);
}

std::unique_ptr<QMenu> CKestruneDlg::SoundListMenu(int row) {
    if (!m_model->HasRow(row))
        return nullptr;
    return m_gameSounds->MenuFor(m_model->Row(row).number, this);
}

void CKestruneDlg::OnContextMenuSoundList(int row, const QPoint& globalPos) {
    std::unique_ptr<QMenu> menu = SoundListMenu(row);
    if (menu)
        menu->exec(globalPos);
}

void CKestruneDlg::OnRowCommand(int row, const QString& command) {
    if (!m_model->HasRow(row))
        return;
    const std::uint16_t number = m_model->Row(row).number;
    if (command == GameSoundCommands::HearText())
        m_gameSounds->HearOnThisPc(number);
    else if (command == GameSoundCommands::PlayInGameText())
        m_gameSounds->PlayInGame(number);
    else if (command == GameSoundCommands::StopText())
        m_gameSounds->StopHearing();
}

void CKestruneDlg::UpdateCommentPlaceholder() {
    if (!m_editNumber || !m_editComment)
        return;
    const std::int32_t number = ParseSoundNumber(QStringToNarrow(m_editNumber->text()));
    const auto low = static_cast<std::uint16_t>(number & 0xFFFF);
    const QString name = number != 0 ? m_gameSounds->Names().Name(low) : QString();
    if (m_editComment->placeholderText() != name)
        m_editComment->setPlaceholderText(name);
}

void CKestruneDlg::OnClickedPlay() {
    UpdateData(true);
    RunPlayCommand(m_services.hook.bridge, m_services.raiser, m_services.hook.playerPosition, m_strNumber);
    UpdateData(false);
}

// The write error, and why a save was refused that would have given a file no load could read.
static QString WriteErrorText(const QString& path, CatalogueSaveError error) {
    QString text = path + QStringLiteral(" に書き込みできませんでした。");
    if (error == CatalogueSaveError::EntryTooLong)
        text += QStringLiteral("\nコメントが長すぎるため、保存しても読み込めません（1件およそ %L1 バイトまで）。")
                    .arg(static_cast<qulonglong>(kMaxCatalogueLineBytes));
    else if (error == CatalogueSaveError::FileTooLarge)
        text += QStringLiteral("\nファイルが大きすぎるため、保存しても読み込めません（%1 MiB まで）。")
                    .arg(kMaxCatalogueFileBytes >> 20);
    else if (error == CatalogueSaveError::UntrustedLink)
        text += QStringLiteral(
            "\n共有フォルダーにある他のユーザーのシンボリックリンクを経由するため、書き込みませんでした。");
    return text;
}

bool CKestruneDlg::SaveCatalogueFile(const QString& path) {
    CatalogueSaveError error = CatalogueSaveError::None;
    bool written = false;
    {
        UpdateData(true);
        SuspendAutoAdd();
        const CatalogueDocument document = BuildCatalogueDocument(m_services.hook.catalogue, m_bSortOnSave);
        ResumeAutoAdd();
        UpdateData(false);
        written = WriteCatalogueDocument(document, QFile::encodeName(path).toStdString(), &error);
    } // the document is released before the message shows
    if (!written)
        m_messageBox->ShowMessage(WriteErrorText(path, error), QStringLiteral("書き込みエラー"));
    return written;
}

bool CKestruneDlg::LoadCatalogueFile(const QString& path) {
    std::optional<CatalogueDocument> document = ParseCatalogueFile(QFile::encodeName(path).toStdString());
    if (!document) {
        m_messageBox->ShowMessage(path + QStringLiteral(" が開けませんでした。"), QStringLiteral("読み込みエラー"));
        return false;
    }
    SuspendAutoAdd();
    if (ApplyCatalogueDocument(*document, m_services.hook.catalogue, this))
        RebuildSoundList();
    ResumeAutoAdd();
    return true;
}

// ---------------------------------------------------------------------------------------------
// Keyboard

void CKestruneDlg::SetAutoAdd(bool on) {
    m_bAutoAdd.store(on);
    m_playedSounds.SetOpen(on && !m_bDetached);
}

void CKestruneDlg::SuspendAutoAdd() {
    if (m_nSuspendDepth++ == 0) {
        m_bKeptAutoAdd = m_bAutoAdd.load();
        // From here on the pump queues nothing: a sound played during the command is not recorded.
        SetAutoAdd(false);
    }
}

void CKestruneDlg::ResumeAutoAdd() {
    if (m_nSuspendDepth > 0 && --m_nSuspendDepth == 0) {
        SetAutoAdd(m_bKeptAutoAdd);
    }
}

void CKestruneDlg::LookUpTypedNumber() {
    UpdateData(true);
    const std::int32_t number = ParseSoundNumber(m_strNumber);
    m_nCurrentNumber = number;
    if (const std::optional<SoundEntry> entry = m_services.hook.catalogue.Find(static_cast<std::uint16_t>(number))) {
        m_bMute = entry->mute;
        m_strComment = entry->comment;
    }
    UpdateData(false);
}

bool CKestruneDlg::PreTranslateMessage(QObject* target, QEvent* event) {
    if (event->type() != QEvent::KeyPress)
        return false;
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key != Qt::Key_Return && key != Qt::Key_Enter)
        return false;
    if (target == m_editNumber)
        LookUpTypedNumber();
    // A Windows push button takes Enter as an ordinary key and does nothing; Qt's default button
    // would be pressed by it.
    return qobject_cast<QPushButton*>(target) != nullptr;
}

bool CKestruneDlg::eventFilter(QObject* watched, QEvent* event) {
    if (PreTranslateMessage(watched, event))
        return true;
    return QDialog::eventFilter(watched, event);
}

void CKestruneDlg::keyPressEvent(QKeyEvent* event) {
    // What the focused control left over: Escape must not close the dialog, Enter must not
    // press a button.
    switch (event->key()) {
    case Qt::Key_Escape:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        event->accept();
        return;
    default:
        QDialog::keyPressEvent(event);
    }
}

// ---------------------------------------------------------------------------------------------
// The hook side

void CKestruneDlg::QueuePlayedSound(std::uint16_t number) {
    m_playedSounds.Offer(number);
}

void CKestruneDlg::RecordPlayedSounds() {
    const std::vector<std::uint16_t> numbers = m_playedSounds.Take();
    // Reached inside a command (a file dialog's event loop): the command has auto-add put aside,
    // so what waited is dropped, as a sound played during the command is.
    if (m_bDetached || m_nSuspendDepth > 0 || numbers.empty())
        return;
    // Auto-add is not put aside here, unlike the commands: the pump goes on queueing meanwhile, and
    // what it queues is recorded by the next run.
    for (const std::uint16_t number : numbers)
        AutoAddPlayedSound(number);
    RebuildSoundList();
}

void CKestruneDlg::AutoAddPlayedSound(std::uint16_t number) {
    SoundCatalogue& catalogue = m_services.hook.catalogue;
    std::string comment;
    bool mute = false;
    if (catalogue.Count() != 0) {
        if (const std::optional<SoundEntry> entry = catalogue.Find(number)) {
            comment = entry->comment;
            mute = entry->mute;
        }
    }
    catalogue.AddOrUpdate(number, comment, mute, !m_bMoveToEnd, false, this);
}
