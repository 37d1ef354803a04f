#include "GameSoundNames.h"

#include "GameSoundFolder.h"

#include <cstdio>

namespace {

constexpr std::size_t kNumbers = 0x10000;
// Names read before the UI thread hears of them: few enough posts while the list fills, soon
// enough that rows are named as they are shown.
constexpr std::size_t kBatch = 256;

} // namespace

GameSoundNames::GameSoundNames(QObject* parent)
    : QObject(parent), m_state(kNumbers, State::Unknown), m_known(kNumbers), m_answersWake([this] { TakeAnswers(); }),
      m_worker([this] { Work(); }) {}

GameSoundNames::~GameSoundNames() {
    {
        std::lock_guard lock(m_lock);
        m_stop = true;
    }
    m_wake.notify_one();
    m_worker.join();
    m_answersWake.Close();
}

void GameSoundNames::SetFolder(const std::string& folder) {
    if (folder == m_folder)
        return;
    m_folder = folder;
    m_hasSounds = false;
    m_problem.clear();
    ++m_generation;
    std::fill(m_state.begin(), m_state.end(), State::Unknown);
    Ask({Request::Kind::Open, 0, folder});
    emit FolderChanged();
}

QString GameSoundNames::Describe(std::uint16_t number) {
    if (m_folder.empty())
        return {};
    switch (m_state[number]) {
    case State::Known:
        return m_known[number].description;
    case State::Unknown:
        m_state[number] = State::Asked;
        Ask({Request::Kind::Name, number, {}});
        break;
    case State::Asked:
        break;
    }
    return {};
}

QString GameSoundNames::Name(std::uint16_t number) {
    return Describe(number).isEmpty() ? QString() : m_known[number].name;
}

bool GameSoundNames::Audible(std::uint16_t number) const {
    return m_hasSounds && m_state[number] == State::Known && m_known[number].audible;
}

void GameSoundNames::ReadSamples(std::uint16_t number) {
    if (!m_folder.empty())
        Ask({Request::Kind::Samples, number, {}});
}

void GameSoundNames::Ask(Request request) {
    {
        std::lock_guard lock(m_lock);
        if (request.kind == Request::Kind::Open) {
            // A new folder: what was asked of the old one no longer matters.
            m_requests.clear();
            m_askedGeneration = m_generation;
        }
        m_requests.push_back(std::move(request));
    }
    m_wake.notify_one();
}

void GameSoundNames::Work() {
    std::unique_ptr<GameSoundFolder> folder;
    std::uint64_t generation = 0;
    for (;;) {
        std::vector<Request> taken;
        {
            std::unique_lock lock(m_lock);
            m_wake.wait(lock, [this] { return m_stop || !m_requests.empty(); });
            if (m_stop)
                return;
            generation = m_askedGeneration;
            // An open first; then the latest asked first: the rows shown now, not those scrolled past.
            if (m_requests.front().kind == Request::Kind::Open) {
                taken.push_back(std::move(m_requests.front()));
                m_requests.pop_front();
            } else {
                while (!m_requests.empty() && taken.size() < kBatch) {
                    taken.push_back(std::move(m_requests.back()));
                    m_requests.pop_back();
                }
            }
        }
        if (taken.front().kind == Request::Kind::Open) {
            folder.reset();
            std::string error;
            if (!taken.front().folder.empty())
                folder = GameSoundFolder::Open(taken.front().folder, error);
            const QString problem = QString::fromStdString(folder ? folder->Problem() : error);
            Answer({Answer::Kind::Opened, generation, folder != nullptr, problem, {}, 0, {}});
            continue;
        }
        std::vector<std::pair<std::uint16_t, Known>> names;
        for (const Request& request : taken) {
            if (request.kind == Request::Kind::Samples) {
                Answer({Answer::Kind::Samples,
                        generation,
                        false,
                        {},
                        {},
                        request.number,
                        folder ? folder->Samples(request.number) : std::vector<std::int16_t>{}});
                continue;
            }
            Known known;
            if (folder) {
                const GameSound sound = folder->Sound(request.number);
                known.name = QString::fromStdString(sound.Name());
                known.description = QString::fromStdString(sound.Description());
                known.audible = sound.Audible();
            }
            names.emplace_back(request.number, std::move(known));
        }
        const QString problem = QString::fromStdString(folder ? folder->Problem() : std::string());
        if (!names.empty() || !problem.isEmpty())
            Answer({Answer::Kind::Names, generation, false, problem, std::move(names), 0, {}});
    }
}

void GameSoundNames::Answer(struct Answer answer) {
    std::lock_guard lock(m_lock);
    m_answers.push_back(std::move(answer));
    m_answersWake.Wake();
}

void GameSoundNames::TakeAnswers() {
    std::vector<struct Answer> answers;
    {
        std::lock_guard lock(m_lock);
        answers.swap(m_answers);
    }
    for (struct Answer& answer : answers) {
        switch (answer.kind) {
        case Answer::Kind::Opened:
            TakeOpened(answer.generation, answer.opened, answer.problem);
            break;
        case Answer::Kind::Names:
            TakeNames(answer.generation, std::move(answer.names), answer.problem);
            break;
        case Answer::Kind::Samples:
            if (answer.generation == m_generation)
                emit SamplesRead(answer.number, answer.samples);
            break;
        }
    }
}

void GameSoundNames::TakeOpened(std::uint64_t generation, bool opened, const QString& problem) {
    if (generation != m_generation)
        return;
    m_hasSounds = opened;
    NoteProblem(problem);
    emit FolderChanged();
}

void GameSoundNames::TakeNames(std::uint64_t generation, std::vector<std::pair<std::uint16_t, Known>> names,
                               const QString& problem) {
    if (generation != m_generation)
        return;
    std::vector<std::uint16_t> numbers;
    numbers.reserve(names.size());
    for (auto& [number, known] : names) {
        m_known[number] = std::move(known);
        m_state[number] = State::Known;
        numbers.push_back(number);
    }
    if (!problem.isEmpty() && m_problem.isEmpty()) {
        NoteProblem(problem);
        emit FolderChanged();
    }
    if (!numbers.empty())
        emit Named(numbers);
}

void GameSoundNames::NoteProblem(const QString& problem) {
    // Once: the first trouble found is the one reported.
    if (problem.isEmpty() || !m_problem.isEmpty())
        return;
    m_problem = problem;
    std::fprintf(stderr, "kestrune: %s\n", problem.toLocal8Bit().constData());
}
