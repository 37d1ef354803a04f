#include "SoundPreviewPlayer.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QByteArray>
#include <QMediaDevices>
#include <QThread>
#include <QTimer>

#include <algorithm>

#include <cstring>

// Owns the audio output; every member runs on the player's own thread.
class AudioOutputWorker final : public QObject {
    Q_OBJECT

public:
    void Begin() {
        // Made here, on the player's thread, so that it runs there.
        m_feeder = new QTimer(this);
        m_feeder->setInterval(kFeedMs);
        connect(m_feeder, &QTimer::timeout, this, &AudioOutputWorker::Feed);
        m_devices = new QMediaDevices(this);
        connect(m_devices, &QMediaDevices::audioOutputsChanged, this, &AudioOutputWorker::CheckOutput);
        CheckOutput();
    }

    void CheckOutput() {
        const bool available = !QMediaDevices::defaultAudioOutput().isNull();
        emit OutputChecked(available, available ? QString() : SoundPreviewPlayer::NoOutputText());
    }

    void Play(quint16 number, const QByteArray& pcm) {
        Stop();
        const QAudioDevice device = QMediaDevices::defaultAudioOutput();
        if (device.isNull()) {
            emit Failed(number, SoundPreviewPlayer::NoOutputText());
            return;
        }
        QAudioFormat format;
        format.setSampleRate(SoundPreviewPlayer::kSampleRate);
        format.setChannelCount(1);
        format.setSampleFormat(QAudioFormat::Int16);
        m_pcm = pcm;
        m_written = 0;
        m_number = number;
        m_sink = new QAudioSink(device, format, this);
        // A short buffer: the sound starts as soon as the server has the first few milliseconds.
        m_sink->setBufferSize(SoundPreviewPlayer::kSampleRate * 2 / 20);
        connect(m_sink, &QAudioSink::stateChanged, this, &AudioOutputWorker::OnStateChanged);
        m_playing = true;
        m_output = m_sink->start();
        if (!m_output || m_sink->error() != QAudio::NoError) {
            Fail();
            return;
        }
        emit Started(number);
        Feed();
        m_feeder->start();
    }

    void Stop() {
        if (!m_sink)
            return;
        QAudioSink* sink = m_sink;
        m_sink = nullptr;
        sink->disconnect(this);
        m_feeder->stop();
        m_output = nullptr;
        sink->stop();
        delete sink;
        m_pcm.clear();
        if (m_playing) {
            m_playing = false;
            emit Stopped(m_number);
        }
    }

signals:
    void OutputChecked(bool available, const QString& reason);
    void Started(quint16 number);
    void Stopped(quint16 number);
    void Failed(quint16 number, const QString& message);

private:
    // Pushes what the output has room for; once everything is written and the output's own
    // buffer has drained to the server, the sound is over.
    void Feed() {
        if (!m_sink || !m_output)
            return;
        const qsizetype room = m_sink->bytesFree();
        if (m_written < m_pcm.size() && room > 0) {
            const qsizetype chunk = std::min(room, m_pcm.size() - m_written);
            const qint64 wrote = m_output->write(m_pcm.constData() + m_written, chunk);
            if (wrote > 0)
                m_written += wrote;
        } else if (m_written >= m_pcm.size() && room >= m_sink->bufferSize()) {
            if (++m_drainTicks * kFeedMs >= kServerTailMs)
                Stop();
            return;
        }
        m_drainTicks = 0;
    }

    void OnStateChanged(QAudio::State state) {
        if (m_sink && state == QAudio::StoppedState && m_sink->error() != QAudio::NoError)
            Fail();
    }

    void Fail() {
        const quint16 number = m_number;
        m_playing = false;
        Stop();
        emit Failed(number, SoundPreviewPlayer::OutputBusyText());
    }

    static constexpr int kFeedMs = 10;
    // What the server may still hold after the output's buffer has drained to it.
    static constexpr int kServerTailMs = 100;

    QMediaDevices* m_devices = nullptr;
    QAudioSink* m_sink = nullptr;
    QIODevice* m_output = nullptr; // the sink's
    QByteArray m_pcm;
    qsizetype m_written = 0;
    int m_drainTicks = 0;
    QTimer* m_feeder = nullptr;
    quint16 m_number = 0;
    bool m_playing = false;
};

SoundPreviewPlayer::SoundPreviewPlayer(QObject* parent)
    : QObject(parent), m_thread(new QThread), m_worker(new AudioOutputWorker),
      m_noOutputReason(tr("音声出力を確認しています。")) {
    m_thread->setObjectName(QStringLiteral("SoundPreview"));
    m_worker->moveToThread(m_thread);
    connect(m_worker, &AudioOutputWorker::OutputChecked, this, &SoundPreviewPlayer::OnOutputChecked);
    connect(m_worker, &AudioOutputWorker::Started, this, &SoundPreviewPlayer::Started);
    connect(m_worker, &AudioOutputWorker::Stopped, this, &SoundPreviewPlayer::Stopped);
    connect(m_worker, &AudioOutputWorker::Failed, this, &SoundPreviewPlayer::Failed);
    m_thread->start();
    QMetaObject::invokeMethod(m_worker, &AudioOutputWorker::Begin, Qt::QueuedConnection);
}

SoundPreviewPlayer::~SoundPreviewPlayer() {
    AudioOutputWorker* worker = m_worker;
    QMetaObject::invokeMethod(
        worker,
        [worker] {
            worker->Stop();
            delete worker;
            QThread::currentThread()->quit();
        },
        Qt::QueuedConnection);
    // A sound server that never answers must not keep the program from ending: after a while the
    // thread is left to the process's exit.
    if (m_thread->wait(2000))
        delete m_thread;
}

void SoundPreviewPlayer::Play(std::uint16_t number, std::vector<std::int16_t> samples) {
    QByteArray pcm(static_cast<qsizetype>(samples.size() * sizeof(std::int16_t)), Qt::Uninitialized);
    // The output takes the machine's byte order, as the samples are held.
    if (!samples.empty())
        std::memcpy(pcm.data(), samples.data(), static_cast<std::size_t>(pcm.size()));
    AudioOutputWorker* worker = m_worker;
    QMetaObject::invokeMethod(
        worker, [worker, number, pcm] { worker->Play(number, pcm); }, Qt::QueuedConnection);
}

void SoundPreviewPlayer::Stop() {
    QMetaObject::invokeMethod(m_worker, &AudioOutputWorker::Stop, Qt::QueuedConnection);
}

QString SoundPreviewPlayer::NoOutputText() {
    return tr("このPCには音声出力がありません。");
}

QString SoundPreviewPlayer::OutputBusyText() {
    return tr("音声出力を開けませんでした。ほかのプログラムが使用中か、サウンドサーバーが応答しません。");
}

void SoundPreviewPlayer::OnOutputChecked(bool available, const QString& reason) {
    const bool changed = available != m_hasOutput;
    m_hasOutput = available;
    m_noOutputReason = reason;
    if (changed)
        emit OutputChanged(available);
}

#include "SoundPreviewPlayer.moc"
