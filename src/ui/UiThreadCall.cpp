#include "UiThreadCall.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

UiThreadCall::UiThreadCall() : m_uiThread(std::this_thread::get_id()) {
    m_eventFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_eventFd < 0) {
        // Without a wake-up channel no call can ever be carried out: refuse them all rather
        // than leave a caller waiting for ever.
        m_closed = true;
        return;
    }
    m_notifier = std::make_unique<QSocketNotifier>(m_eventFd, QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(), [this] { RunPending(); });
}

UiThreadCall::~UiThreadCall() {
    Close();
    m_notifier.reset();
    if (m_eventFd >= 0)
        ::close(m_eventFd);
}

bool UiThreadCall::Call(std::function<void()> task) {
    if (OnUiThread()) {
        {
            std::lock_guard lock(m_lock);
            if (m_closed)
                return false;
        }
        task();
        return true;
    }

    Pending pending{std::move(task)};
    std::unique_lock lock(m_lock);
    if (m_closed)
        return false;
    m_queue.push_back(&pending);
    const std::uint64_t one = 1;
    // The counter only saturates after 2^64 - 2 unread wake-ups; a failed write can therefore
    // only be EAGAIN with a wake-up already pending.
    ssize_t written;
    do {
        written = ::write(m_eventFd, &one, sizeof one);
    } while (written < 0 && errno == EINTR);
    m_finished.wait(lock, [&] { return pending.finished; });
    return pending.ran;
}

std::size_t UiThreadCall::PendingCalls() const {
    std::lock_guard lock(m_lock);
    return m_queue.size();
}

void UiThreadCall::Close() {
    {
        std::lock_guard lock(m_lock);
        m_closed = true;
        for (Pending* pending : m_queue)
            pending->finished = true;
        m_queue.clear();
    }
    m_finished.notify_all();
    if (m_notifier)
        m_notifier->setEnabled(false);
}

void UiThreadCall::RunPending() {
    std::uint64_t count = 0;
    while (::read(m_eventFd, &count, sizeof count) < 0 && errno == EINTR) {
    }
    for (;;) {
        Pending* pending = nullptr;
        {
            std::lock_guard lock(m_lock);
            if (m_queue.empty())
                return;
            pending = m_queue.front();
            m_queue.pop_front();
        }
        // The waiter stays blocked until `finished`, so `pending` lives while the task runs.
        pending->task();
        {
            std::lock_guard lock(m_lock);
            pending->ran = true;
            pending->finished = true;
        }
        m_finished.notify_all();
    }
}
