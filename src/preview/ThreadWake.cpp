#include "ThreadWake.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

ThreadWake::ThreadWake(std::function<void()> onWake) : m_onWake(std::move(onWake)) {
    m_eventFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_eventFd < 0)
        return; // no wake-ups: Wake does nothing
    m_notifier = std::make_unique<QSocketNotifier>(m_eventFd, QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(), [this] { Woken(); });
}

ThreadWake::~ThreadWake() {
    Close();
    m_notifier.reset();
    if (m_eventFd >= 0)
        ::close(m_eventFd);
}

void ThreadWake::Wake() {
    if (m_eventFd < 0)
        return;
    const std::uint64_t one = 1;
    // Non-blocking: the counter only saturates after 2^64 - 2 unread wakes, so a failed write can
    // only be EAGAIN with a wake already pending.
    while (::write(m_eventFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void ThreadWake::Close() {
    if (m_notifier)
        m_notifier->setEnabled(false);
    m_onWake = nullptr;
}

void ThreadWake::Woken() {
    std::uint64_t count = 0;
    while (::read(m_eventFd, &count, sizeof count) < 0 && errno == EINTR) {
    }
    if (m_onWake)
        m_onWake();
}
