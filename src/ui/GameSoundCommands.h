#pragma once

#include "GameSoundNames.h"
#include "SoundPreviewPlayer.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

class QMenu;
class QWidget;

// The list's commands on one sound of the game's own files: hear it on this PC ("このPCで試聴"),
// play it in the game as 再生 does ("ゲームで再生"), and stop what is heard ("停止"). Owns the names of
// the game's sounds and the audio output; the dialog shows the menu and the messages.
class GameSoundCommands final : public QObject {
    Q_OBJECT

public:
    // playInGame: what 再生 does, for a number.
    explicit GameSoundCommands(std::function<void(std::uint16_t)> playInGame, QObject* parent = nullptr);
    ~GameSoundCommands() override;

    static QString HearText() { return QStringLiteral("このPCで試聴"); }
    static QString PlayInGameText() { return QStringLiteral("ゲームで再生"); }
    static QString StopText() { return QStringLiteral("停止"); }

    GameSoundNames& Names() { return m_names; }
    SoundPreviewPlayer& Player() { return m_player; }

    // The menu for a sound, built afresh: the caller shows it (or a test reads it). Its actions
    // carry the object names "hearOnThisPcAction", "playInGameAction" and "stopHearingAction".
    std::unique_ptr<QMenu> MenuFor(std::uint16_t number, QWidget* parent);

    // Why the sound cannot be heard on this PC now; empty when it can.
    QString WhyNotHear(std::uint16_t number);
    bool Hearing() const { return m_hearing; }

    void HearOnThisPc(std::uint16_t number);
    void PlayInGame(std::uint16_t number);
    void StopHearing();

signals:
    // Hearing a sound failed; the text says why.
    void Failed(const QString& message);
    // Something the commands' state depends on changed (the folder, the output, a sound started or
    // ended): a shown menu or action list is out of date.
    void StateChanged();

private:
    void OnSamplesRead(quint16 number, const std::vector<std::int16_t>& samples);

    std::function<void(std::uint16_t)> m_playInGame;
    GameSoundNames m_names;
    SoundPreviewPlayer m_player;
    bool m_hearing = false;
    int m_awaited = -1; // the number whose samples are being read to be heard
};
