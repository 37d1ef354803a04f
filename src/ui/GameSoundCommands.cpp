#include "GameSoundCommands.h"

#include <QAction>
#include <QMenu>

namespace {

QString NotInGameFilesText() {
    return QStringLiteral("このサウンドはゲームのファイルにありません。");
}

} // namespace

GameSoundCommands::GameSoundCommands(std::function<void(std::uint16_t)> playInGame, QObject* parent)
    : QObject(parent), m_playInGame(std::move(playInGame)) {
    connect(&m_names, &GameSoundNames::SamplesRead, this, &GameSoundCommands::OnSamplesRead);
    connect(&m_names, &GameSoundNames::FolderChanged, this, &GameSoundCommands::StateChanged);
    connect(&m_player, &SoundPreviewPlayer::OutputChanged, this, &GameSoundCommands::StateChanged);
    connect(&m_player, &SoundPreviewPlayer::Started, this, [this] {
        m_hearing = true;
        emit StateChanged();
    });
    connect(&m_player, &SoundPreviewPlayer::Stopped, this, [this] {
        m_hearing = false;
        emit StateChanged();
    });
    connect(&m_player, &SoundPreviewPlayer::Failed, this, [this](quint16, const QString& message) {
        m_hearing = false;
        emit StateChanged();
        emit Failed(message);
    });
}

GameSoundCommands::~GameSoundCommands() = default;

QString GameSoundCommands::WhyNotHear(std::uint16_t number) {
    if (m_names.Folder().empty())
        return QStringLiteral("ゲームのフォルダーがわかりません（ゲーム側から知らされていません）。");
    if (!m_names.HasSounds())
        return m_names.Problem().isEmpty() ? QStringLiteral("ゲームのサウンドファイルを読んでいます。")
                                           : m_names.Problem();
    if (!m_player.HasOutput())
        return m_player.NoOutputReason();
    m_names.Describe(number); // asks, when not known yet
    if (!m_names.Audible(number))
        return NotInGameFilesText();
    return {};
}

std::unique_ptr<QMenu> GameSoundCommands::MenuFor(std::uint16_t number, QWidget* parent) {
    auto menu = std::make_unique<QMenu>(parent);
    menu->setToolTipsVisible(true);
    QAction* hear = menu->addAction(HearText(), this, [this, number] { HearOnThisPc(number); });
    hear->setObjectName(QStringLiteral("hearOnThisPcAction"));
    const QString why = WhyNotHear(number);
    hear->setEnabled(why.isEmpty());
    hear->setToolTip(why.isEmpty() ? m_names.Describe(number) : why);
    QAction* play = menu->addAction(PlayInGameText(), this, [this, number] { PlayInGame(number); });
    play->setObjectName(QStringLiteral("playInGameAction"));
    QAction* stop = menu->addAction(StopText(), this, &GameSoundCommands::StopHearing);
    stop->setObjectName(QStringLiteral("stopHearingAction"));
    stop->setEnabled(m_hearing || m_awaited >= 0);
    return menu;
}

void GameSoundCommands::HearOnThisPc(std::uint16_t number) {
    const QString why = WhyNotHear(number);
    if (!why.isEmpty()) {
        emit Failed(why);
        return;
    }
    m_awaited = number;
    m_names.ReadSamples(number);
}

void GameSoundCommands::PlayInGame(std::uint16_t number) {
    if (m_playInGame)
        m_playInGame(number);
}

void GameSoundCommands::StopHearing() {
    m_awaited = -1;
    m_player.Stop();
}

void GameSoundCommands::OnSamplesRead(quint16 number, const std::vector<std::int16_t>& samples) {
    if (m_awaited != number)
        return; // stopped, or another sound asked for since
    m_awaited = -1;
    if (samples.empty()) {
        emit Failed(NotInGameFilesText());
        return;
    }
    m_player.Play(number, samples);
}
