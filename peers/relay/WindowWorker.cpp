#include "WindowWorker.h"

#include "WindowRaiser.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

struct WindowWorker::State {
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable finished;
    std::optional<pid_t> find;
    std::optional<pid_t> raise;
    std::vector<Answer> answers;
    std::optional<std::chrono::steady_clock::time_point> busySince;
    bool stop = false;
    bool done = false;
    int eventFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);

    ~State() {
        if (eventFd >= 0)
            close(eventFd);
    }

    void Serve() {
        WindowRaiser raiser;
        std::unique_lock lock(mutex);
        for (;;) {
            wake.wait(lock, [this] { return stop || find || raise; });
            if (stop)
                break;
            Answer answer;
            answer.raise = !find;
            answer.pid = find ? *find : *raise;
            (find ? find : raise).reset();
            busySince = std::chrono::steady_clock::now();
            lock.unlock();
            if (answer.raise)
                answer.raised = raiser.Raise(answer.pid, answer.why);
            else
                answer.window = raiser.FindWindow(answer.pid, answer.why);
            lock.lock();
            busySince.reset();
            answers.push_back(std::move(answer));
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t ignored = write(eventFd, &one, sizeof one);
        }
        done = true;
        finished.notify_all();
    }
};

WindowWorker::WindowWorker() : m_state(std::make_shared<State>()) {}

WindowWorker::~WindowWorker() {
    if (!m_started)
        return;
    std::unique_lock lock(m_state->mutex);
    m_state->stop = true;
    m_state->wake.notify_all();
    // A worker inside a call to a display that does not answer cannot be stopped: it keeps the
    // state alive by itself and ends when the display answers or goes away.
    m_state->finished.wait_for(lock, std::chrono::milliseconds(200), [this] { return m_state->done; });
}

void WindowWorker::Start() {
    if (m_started)
        return;
    m_started = true;
    std::thread([state = m_state] { state->Serve(); }).detach();
}

void WindowWorker::Find(pid_t pid) {
    Start();
    std::lock_guard lock(m_state->mutex);
    m_state->find = pid;
    m_state->wake.notify_all();
}

void WindowWorker::Raise(pid_t pid) {
    Start();
    std::lock_guard lock(m_state->mutex);
    m_state->raise = pid;
    m_state->wake.notify_all();
}

int WindowWorker::Fd() const {
    return m_state->eventFd;
}

std::vector<WindowWorker::Answer> WindowWorker::TakeAnswers() {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t ignored = read(m_state->eventFd, &count, sizeof count);
    std::lock_guard lock(m_state->mutex);
    std::vector<Answer> answers;
    answers.swap(m_state->answers);
    return answers;
}

bool WindowWorker::Stuck() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->busySince && std::chrono::steady_clock::now() - *m_state->busySince > std::chrono::seconds(1);
}
