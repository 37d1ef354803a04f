#pragma once

#include "ThreadWake.h"

#include <QObject>
#include <QString>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class GameSoundFolder;

// The names and lengths of the game's own sounds, for the list: "aniv_clock_play_01 (2.1 s)".
//
// The game folder is opened and every header read on a thread of its own, only for the numbers the
// list asks about (the rows it shows), so neither the list nor the game ever waits on the disk.
// Answers come back to the UI thread in batches, announced by Named. The samples for hearing a
// sound come the same way (SamplesRead). Answers cross under the one lock, with an eventfd wake-up
// (ThreadWake), not through Qt's queued calls.
class GameSoundNames final : public QObject {
    Q_OBJECT

public:
    explicit GameSoundNames(QObject* parent = nullptr);
    ~GameSoundNames() override;
    GameSoundNames(const GameSoundNames&) = delete;
    GameSoundNames& operator=(const GameSoundNames&) = delete;

    // Opens the game's data folder in the background, replacing the one before; empty: none. The
    // same folder again changes nothing.
    void SetFolder(const std::string& folder);
    const std::string& Folder() const { return m_folder; }
    // True once a folder has been opened and its sound files read.
    bool HasSounds() const { return m_hasSounds; }
    // The trouble with the game's files, once there is some (shown in tooltips); empty otherwise.
    const QString& Problem() const { return m_problem; }

    // The sound's name and length, such as "aniv_clock_play_01 (2.1 s)", or empty: not known yet
    // (it is looked up, and Named follows), or the sound has no data. UI thread only.
    QString Describe(std::uint16_t number);
    // The name alone; empty as for Describe.
    QString Name(std::uint16_t number);
    // Whether the sound has something to hear, as far as known.
    bool Audible(std::uint16_t number) const;

    // Reads the sound's samples in the background; SamplesRead follows (empty samples: nothing to hear).
    void ReadSamples(std::uint16_t number);

signals:
    // Sounds whose names are now known (in one batch).
    void Named(const std::vector<std::uint16_t>& numbers);
    void SamplesRead(quint16 number, const std::vector<std::int16_t>& samples);
    // The folder was opened (or failed to), or a problem was found.
    void FolderChanged();

private:
    struct Known {
        QString name;
        QString description;
        bool audible = false;
    };
    struct Request {
        enum class Kind { Open, Name, Samples } kind;
        std::uint16_t number = 0;
        std::string folder;
    };
    enum class State : std::uint8_t { Unknown, Asked, Known };
    struct Answer {
        enum class Kind { Opened, Names, Samples } kind;
        std::uint64_t generation = 0;
        bool opened = false;
        QString problem;
        std::vector<std::pair<std::uint16_t, Known>> names;
        std::uint16_t number = 0;
        std::vector<std::int16_t> samples;
    };

    void Ask(Request request);
    void Work();
    // Worker thread: leaves an answer for the UI thread.
    void Answer(Answer answer);
    // UI thread: takes the answers left.
    void TakeAnswers();
    // On the UI thread.
    void TakeOpened(std::uint64_t generation, bool opened, const QString& problem);
    void TakeNames(std::uint64_t generation, std::vector<std::pair<std::uint16_t, Known>> names,
                   const QString& problem);
    void NoteProblem(const QString& problem);

    // UI thread.
    std::string m_folder;
    bool m_hasSounds = false;
    QString m_problem;
    std::uint64_t m_generation = 0; // of the folder asked for; older answers are dropped
    std::vector<State> m_state;     // by number
    std::vector<Known> m_known;     // by number, meaningful when Known

    // Shared with the worker.
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::deque<Request> m_requests;
    std::vector<struct Answer> m_answers;
    ThreadWake m_answersWake; // runs TakeAnswers
    std::uint64_t m_askedGeneration = 0;
    bool m_stop = false;
    std::thread m_worker; // last: starts once the rest exists
};
