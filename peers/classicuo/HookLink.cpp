#include "HookLink.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>

namespace {

constexpr std::uint32_t kVerdictBlock = 1;

std::string ErrorText(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

} // namespace

HookLink::HookLink(std::string socketPath, InjectQueue& queue) : m_path(std::move(socketPath)), m_queue(queue) {}

HookLink::~HookLink() {
    Stop();
    if (m_wakeFd >= 0)
        close(m_wakeFd);
}

void HookLink::Start() {
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0)
        throw std::system_error(errno, std::generic_category(), "eventfd");
    m_thread = std::thread([this] { Run(); });
}

void HookLink::Stop() {
    m_stop.store(true);
    Wake();
    if (m_thread.joinable())
        m_thread.join();
    std::lock_guard lock(m_lock);
    m_connection.Close();
    PublishLocked();
}

void HookLink::SetWindow(std::uint32_t window) {
    m_window.store(window);
    Wake();
}

void HookLink::Note(std::string line) {
    {
        std::lock_guard lock(m_noteLock);
        if (m_notes.size() >= kMaxNotes)
            return;
        m_notes.push_back(std::move(line));
    }
    Wake();
}

bool HookLink::Ask(std::int32_t code, std::span<const std::uint8_t> packet) {
    const auto start = Clock::now();
    const auto deadline = start + m_budget.Left(start);
    std::lock_guard lock(m_lock);
    bool pass = true;
    try {
        pass = AskLocked(code, packet, deadline);
    } catch (...) {
        m_connection.Close("out of memory while waiting for a verdict");
    }
    m_awaiting = false;
    PublishLocked();
    if (!m_connection.IsOpen())
        Wake(); // the thread's wait may still be on the closed socket
    m_budget.Spend(start, Clock::now());
    return pass;
}

bool HookLink::AskLocked(std::int32_t code, std::span<const std::uint8_t> packet, Clock::time_point deadline) {
    if (!m_connection.IsOpen() || !m_connection.Attached())
        return true;
    if (deadline <= Clock::now()) { // spent on earlier packets of this frame or second
        TooSlowLocked();
        return true;
    }
    if (!m_connection.QueueEvent(code, packet))
        return true;
    m_awaiting = true;
    m_answered = false;
    while (!m_answered && m_connection.IsOpen()) {
        if (m_connection.WantsWrite() && !m_connection.Flush())
            break;
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            TooSlowLocked();
            break;
        }
        pollfd fd{m_connection.Fd(), static_cast<short>(POLLIN | (m_connection.WantsWrite() ? POLLOUT : 0)), 0};
        const timespec wait{static_cast<time_t>(left.count() / 1'000'000'000),
                            static_cast<long>(left.count() % 1'000'000'000)};
        const int ready = ppoll(&fd, 1, &wait, nullptr);
        if (ready < 0 && errno != EINTR) {
            m_connection.Close(ErrorText("cannot wait for a verdict"));
            break;
        }
        if (ready > 0 && (fd.revents & ~POLLOUT) != 0)
            m_connection.Receive([this](const Frame& frame) { OnFrame(frame); }, kReadBudget);
    }
    m_answeredInTime = m_answeredInTime || m_answered;
    return !m_answered || m_verdict != kVerdictBlock;
}

void HookLink::TooSlowLocked() {
    m_tooSlow = true;
    m_answeredInTime = false;
    m_connection.Close("no verdict within the game's budget");
}

void HookLink::OnFrame(const Frame& frame) {
    switch (frame.type) {
    case FrameType::Verdict:
        if (!m_awaiting || m_answered) {
            m_connection.Close("the program sent a verdict for no packet");
            return;
        }
        m_verdict = frame.verdict;
        m_answered = true;
        break;
    case FrameType::Inject:
    case FrameType::Raise: {
        const bool queued =
            frame.type == FrameType::Inject ? m_queue.PushInject(frame.direction, frame.packet) : m_queue.PushRaise();
        if (!queued && !m_toldQueueFull) {
            m_toldQueueFull = true;
            Note("more than " + std::to_string(InjectQueue::kMaxCommands) +
                 " packets from Kestrune are waiting for the game; dropping the rest until it has taken them");
        }
        break;
    }
    default:
        break; // WATCH: the connection keeps it, PublishLocked hands it on
    }
}

void HookLink::PublishLocked() {
    const bool live = m_connection.IsOpen() && m_connection.Attached();
    const auto& bits = m_connection.Watched().Bits();
    for (std::size_t word = 0; word < m_watched.size(); ++word) {
        std::uint64_t value = 0;
        for (std::size_t byte = 0; live && byte < 8; ++byte)
            value |= std::uint64_t{bits[word * 8 + byte]} << (byte * 8);
        m_watched[word].store(value, std::memory_order_relaxed);
    }
}

void HookLink::Run() {
    while (!m_stop.load()) {
        try {
            PrintNotes();
            bool open;
            {
                std::lock_guard lock(m_lock);
                ObserveLocked();
                if (!m_connection.IsOpen() && Clock::now() >= m_nextTry)
                    ConnectLocked();
                open = m_connection.IsOpen();
            }
            if (open)
                ServeOnce();
            else
                SleepUntil(m_nextTry);
        } catch (...) {
            // Out of memory, most likely: start over with a new connection, a second later.
            std::lock_guard lock(m_lock);
            m_connection.Close("out of memory");
            PublishLocked();
            m_hadConnection = m_wasAttached = m_tooSlow = false;
            m_nextTry = Clock::now() + kRetryInterval;
        }
    }
    {
        std::lock_guard lock(m_lock);
        m_connection.Close();
        PublishLocked();
    }
    PrintNotes();
}

void HookLink::ConnectLocked() {
    std::string error;
    const std::uint32_t window = m_window.load();
    switch (m_connection.Connect(m_path, window, error)) {
    case HookConnection::ConnectResult::Connected:
        m_windowSent = window;
        m_hadConnection = true;
        m_toldQueueFull = false;
        m_connection.Flush();
        break;
    case HookConnection::ConnectResult::NotListening:
        Tell(Told::Waiting, "waiting for Kestrune at " + m_path + " (" + error + ")");
        m_nextTry = Clock::now() + kRetryInterval;
        break;
    case HookConnection::ConnectResult::Failed:
        Tell(Told::Failed, "cannot connect to Kestrune: " + error);
        m_nextTry = Clock::now() + kRetryInterval;
        break;
    }
    PublishLocked();
    ObserveLocked();
}

// What has happened to the connection since the thread last looked, whoever closed it.
void HookLink::ObserveLocked() {
    if (!m_connection.IsOpen() && m_hadConnection) {
        m_hadConnection = false;
        m_nextTry = Clock::now() + kRetryInterval;
        if (m_tooSlow) {
            // Once per spell of slowness: reconnecting within it is quiet.
            Tell(Told::Slow, "Kestrune gave no verdict within the game's budget (" +
                                 std::to_string(WaitBudget::kPerFrame.count()) + " ms a frame, " +
                                 std::to_string(WaitBudget::kPerSecond.count()) +
                                 " ms a second); packets pass unasked for " + std::to_string(kAbsence.count() / 1000) +
                                 " s at a time until it is quick again");
            m_nextTry = Clock::now() + kAbsence;
        } else if (m_wasAttached)
            Tell(Told::Lost, "lost the connection to Kestrune: " + m_connection.CloseReason());
        else if (m_connection.WasRefused())
            Tell(Told::Busy, "another game is attached to Kestrune at " + m_path + "; waiting for it to leave");
        else
            Tell(Told::Lost, "cannot talk to Kestrune: " + m_connection.CloseReason());
        m_wasAttached = m_tooSlow = false;
    }
    if (m_connection.IsOpen() && m_connection.Attached() && !m_wasAttached) {
        m_wasAttached = true;
        if (m_told != Told::Slow)
            Tell(Told::Connected, "connected to Kestrune at " + m_path);
    }
    if (m_told == Told::Slow && m_answeredInTime)
        Tell(Told::Connected, "Kestrune answers in time again at " + m_path);
}

void HookLink::ServeOnce() {
    int fd;
    short events;
    {
        std::lock_guard lock(m_lock);
        const std::uint32_t window = m_window.load();
        if (window != m_windowSent) {
            m_connection.QueueHello(window);
            m_windowSent = window;
        }
        if (m_connection.WantsWrite())
            m_connection.Flush();
        PublishLocked();
        ObserveLocked();
        if (!m_connection.IsOpen())
            return;
        fd = m_connection.Fd();
        events = static_cast<short>(POLLIN | (m_connection.WantsWrite() ? POLLOUT : 0));
    }
    // Without the lock: the game's thread may use the connection meanwhile, and closes it only
    // with a wake-up after.
    pollfd fds[2] = {{fd, events, 0}, {m_wakeFd, POLLIN, 0}};
    const int ready = poll(fds, 2, static_cast<int>(kRetryInterval.count()));
    if (ready < 0 && errno == EINTR)
        return;
    if ((fds[1].revents & POLLIN) != 0) {
        std::uint64_t count;
        (void)!read(m_wakeFd, &count, sizeof count);
    }
    std::lock_guard lock(m_lock);
    if (ready < 0) {
        m_connection.Close(ErrorText("cannot wait on the connection"));
    } else if (m_connection.IsOpen() && m_connection.Fd() == fd) {
        if ((fds[0].revents & POLLOUT) != 0)
            m_connection.Flush();
        if ((fds[0].revents & ~POLLOUT) != 0)
            m_connection.Receive([this](const Frame& frame) { OnFrame(frame); }, kReadBudget);
    }
    PublishLocked();
    ObserveLocked();
}

void HookLink::Tell(Told state, const std::string& line) {
    if (state == m_told)
        return;
    m_told = state;
    Note(line);
}

void HookLink::PrintNotes() {
    std::vector<std::string> notes;
    {
        std::lock_guard lock(m_noteLock);
        notes.swap(m_notes);
    }
    for (const auto& line : notes)
        std::fprintf(stderr, "kestrune-classicuo: %s\n", line.c_str());
}

void HookLink::Wake() {
    if (m_wakeFd < 0)
        return;
    const std::uint64_t one = 1;
    (void)!write(m_wakeFd, &one, sizeof one);
}

void HookLink::SleepUntil(Clock::time_point until) {
    while (!m_stop.load()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        if (left.count() <= 0)
            return;
        pollfd fd{m_wakeFd, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(left.count()) + 1) > 0) {
            std::uint64_t count;
            (void)!read(m_wakeFd, &count, sizeof count);
        }
        PrintNotes();
    }
}
