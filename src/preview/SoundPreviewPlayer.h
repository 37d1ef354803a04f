#pragma once

#include "ThreadWake.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

class QThread;
class AudioOutputWorker;
struct PreviewExchange;

// Hears a game sound on this PC, through the desktop's sound server: one sound at a time, a new
// one replacing the one playing. The samples are the game's own: 16-bit mono PCM at 22,050 Hz.
//
// The audio output lives on a thread of its own, so a sound server that is slow to answer, busy or
// gone never holds the window: every call here only leaves a request and wakes that thread, and
// the outcome comes back as a signal. Requests and outcomes cross between the threads under one
// lock, with eventfd wake-ups (ThreadWake), not through Qt's queued calls.
class SoundPreviewPlayer final : public QObject {
    Q_OBJECT

public:
    static constexpr int kSampleRate = 22050;

    explicit SoundPreviewPlayer(QObject* parent = nullptr);
    ~SoundPreviewPlayer() override;
    SoundPreviewPlayer(const SoundPreviewPlayer&) = delete;
    SoundPreviewPlayer& operator=(const SoundPreviewPlayer&) = delete;

    void Play(std::uint16_t number, std::vector<std::int16_t> samples);
    void Stop();

    // As last found by the output thread; false until it has looked.
    bool HasOutput() const { return m_hasOutput; }
    // Why there is no output, for a disabled command's tooltip; empty while there is one.
    QString NoOutputReason() const { return m_noOutputReason; }

    // The texts the player shows; one place for them.
    static QString NoOutputText();
    static QString OutputBusyText();

signals:
    void Started(quint16 number);
    // Played to its end or stopped.
    void Stopped(quint16 number);
    void Failed(quint16 number, const QString& message);
    void OutputChanged(bool available);

private:
    // What the output thread has said since last time, as signals.
    void TakeOutcomes();

    std::shared_ptr<PreviewExchange> m_exchange;
    ThreadWake m_outcomesWake; // runs TakeOutcomes
    QThread* m_thread = nullptr;
    AudioOutputWorker* m_worker = nullptr; // lives on m_thread
    bool m_hasOutput = false;
    QString m_noOutputReason;
};
