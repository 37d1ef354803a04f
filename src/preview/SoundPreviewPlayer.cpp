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
#include <mutex>
#include <optional>

// The requests of the UI thread and the outcomes of the output thread, under one lock.
struct PreviewExchange {
    struct Outcome {
        enum class Kind { Output, Started, Stopped, Failed } kind;
        quint16 number = 0;
        bool available = false;
        QString text;
    };

    std::mutex lock;
    // Requests; a newer Play replaces one not yet taken.
    std::optional<std::pair<quint16, QByteArray>> play;
    bool stop = false;
    bool quit = false;
    ThreadWake* requestsWake = nullptr; // the output thread's, once it runs
    // Outcomes, oldest first.
    std::vector<Outcome> outcomes;
    ThreadWake* outcomesWake = nullptr; // the UI thread's; null once the player is going
};

// Owns the audio output; every member runs on the player's own thread.
class AudioOutputWorker final : public QObject {
    Q_OBJECT

public:
    explicit AudioOutputWorker(std::shared_ptr<PreviewExchange> exchange) : m_exchange(std::move(exchange)) {}

    // The thread's first work (QThread::started, on the thread).
    void Begin() {
        m_feeder = new QTimer(this);
        m_feeder->setInterval(kFeedMs);
        connect(m_feeder, &QTimer::timeout, this, &AudioOutputWorker::Feed);
        m_devices = new QMediaDevices(this);
        connect(m_devices, &QMediaDevices::audioOutputsChanged, this, &AudioOutputWorker::CheckOutput);
        m_requestsWake = std::make_unique<ThreadWake>([this] { TakeRequests(); });
        {
            std::lock_guard lock(m_exchange->lock);
            m_exchange->requestsWake = m_requestsWake.get();
        }
        CheckOutput();
        TakeRequests(); // those left before the thread ran
    }

private:
    static constexpr int kFeedMs = 10;
    // What the server may still hold after the output's buffer has drained to it.
    static constexpr int kServerTailMs = 100;

    void TakeRequests() {
        std::optional<std::pair<quint16, QByteArray>> play;
        bool stop = false;
        bool quit = false;
        {
            std::lock_guard lock(m_exchange->lock);
            play.swap(m_exchange->play);
            stop = std::exchange(m_exchange->stop, false);
            quit = m_exchange->quit;
            if (quit)
                m_exchange->requestsWake = nullptr;
        }
        if (quit) {
            Stop();
            m_requestsWake.reset();
            // Taken again by the player once the thread has ended: what this thread wrote is then
            // seen to come first (Qt's own join is invisible to ThreadSanitizer).
            { std::lock_guard lock(m_exchange->lock); }
            QThread::currentThread()->quit();
            return;
        }
        if (stop)
            Stop();
        if (play)
            Play(play->first, play->second);
    }

    void Tell(PreviewExchange::Outcome outcome) {
        std::lock_guard lock(m_exchange->lock);
        m_exchange->outcomes.push_back(std::move(outcome));
        if (m_exchange->outcomesWake)
            m_exchange->outcomesWake->Wake();
    }

    void CheckOutput() {
        const bool available = !QMediaDevices::defaultAudioOutput().isNull();
        Tell({PreviewExchange::Outcome::Kind::Output, 0, available,
              available ? QString() : SoundPreviewPlayer::NoOutputText()});
    }

    void Play(quint16 number, const QByteArray& pcm) {
        Stop();
        const QAudioDevice device = QMediaDevices::defaultAudioOutput();
        if (device.isNull()) {
            Tell({PreviewExchange::Outcome::Kind::Failed, number, false, SoundPreviewPlayer::NoOutputText()});
            return;
        }
        QAudioFormat format;
        format.setSampleRate(SoundPreviewPlayer::kSampleRate);
        format.setChannelCount(1);
        format.setSampleFormat(QAudioFormat::Int16);
        m_pcm = pcm;
        m_written = 0;
        m_drainTicks = 0;
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
        Tell({PreviewExchange::Outcome::Kind::Started, number, true, {}});
        Feed();
        m_feeder->start();
    }

    void Stop() {
        if (!m_sink)
            return;
        QAudioSink* sink = m_sink;
        m_sink = nullptr;
        m_feeder->stop();
        m_output = nullptr;
        sink->disconnect(this);
        sink->stop();
        delete sink;
        m_pcm.clear();
        if (m_playing) {
            m_playing = false;
            Tell({PreviewExchange::Outcome::Kind::Stopped, m_number, true, {}});
        }
    }

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
        Tell({PreviewExchange::Outcome::Kind::Failed, number, true, SoundPreviewPlayer::OutputBusyText()});
    }

    std::shared_ptr<PreviewExchange> m_exchange;
    std::unique_ptr<ThreadWake> m_requestsWake; // runs TakeRequests
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
    : QObject(parent), m_exchange(std::make_shared<PreviewExchange>()), m_outcomesWake([this] { TakeOutcomes(); }),
      m_thread(new QThread), m_worker(new AudioOutputWorker(m_exchange)),
      m_noOutputReason(tr("音声出力を確認しています。")) {
    m_exchange->outcomesWake = &m_outcomesWake;
    m_thread->setObjectName(QStringLiteral("SoundPreview"));
    m_worker->moveToThread(m_thread);
    // Runs on the new thread, directly: nothing is posted across threads.
    connect(m_thread, &QThread::started, m_worker, &AudioOutputWorker::Begin, Qt::DirectConnection);
    m_thread->start();
}

SoundPreviewPlayer::~SoundPreviewPlayer() {
    {
        std::lock_guard lock(m_exchange->lock);
        m_exchange->quit = true;
        m_exchange->outcomesWake = nullptr;
        if (m_exchange->requestsWake)
            m_exchange->requestsWake->Wake();
    }
    m_outcomesWake.Close();
    // A sound server that never answers must not keep the program from ending: after a while the
    // thread is left to the process's exit, with what it uses (the exchange is shared).
    if (m_thread->wait(2000)) {
        { std::lock_guard lock(m_exchange->lock); }
        delete m_worker;
        delete m_thread;
    }
}

void SoundPreviewPlayer::Play(std::uint16_t number, std::vector<std::int16_t> samples) {
    QByteArray pcm(static_cast<qsizetype>(samples.size() * sizeof(std::int16_t)), Qt::Uninitialized);
    // The output takes the machine's byte order, as the samples are held.
    if (!samples.empty())
        std::memcpy(pcm.data(), samples.data(), static_cast<std::size_t>(pcm.size()));
    std::lock_guard lock(m_exchange->lock);
    m_exchange->play.emplace(number, std::move(pcm));
    m_exchange->stop = false;
    if (m_exchange->requestsWake)
        m_exchange->requestsWake->Wake();
}

void SoundPreviewPlayer::Stop() {
    std::lock_guard lock(m_exchange->lock);
    m_exchange->play.reset();
    m_exchange->stop = true;
    if (m_exchange->requestsWake)
        m_exchange->requestsWake->Wake();
}

QString SoundPreviewPlayer::NoOutputText() {
    return tr("このPCには音声出力がありません。");
}

QString SoundPreviewPlayer::OutputBusyText() {
    return tr("音声出力を開けませんでした。ほかのプログラムが使用中か、サウンドサーバーが応答しません。");
}

void SoundPreviewPlayer::TakeOutcomes() {
    std::vector<PreviewExchange::Outcome> outcomes;
    {
        std::lock_guard lock(m_exchange->lock);
        outcomes.swap(m_exchange->outcomes);
    }
    for (const PreviewExchange::Outcome& outcome : outcomes) {
        switch (outcome.kind) {
        case PreviewExchange::Outcome::Kind::Output: {
            const bool changed = outcome.available != m_hasOutput;
            m_hasOutput = outcome.available;
            m_noOutputReason = outcome.text;
            if (changed)
                emit OutputChanged(m_hasOutput);
            break;
        }
        case PreviewExchange::Outcome::Kind::Started:
            emit Started(outcome.number);
            break;
        case PreviewExchange::Outcome::Kind::Stopped:
            emit Stopped(outcome.number);
            break;
        case PreviewExchange::Outcome::Kind::Failed:
            if (!outcome.available) {
                m_hasOutput = false;
                m_noOutputReason = outcome.text;
            }
            emit Failed(outcome.number, outcome.text);
            break;
        }
    }
}

#include "SoundPreviewPlayer.moc"
