#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;

// Has a Qt thread (the one that builds it: the UI thread, or the audio output's) run a callback
// soon, at another thread's request, without that thread ever waiting: Wake writes to an eventfd
// that a QSocketNotifier of the building thread watches. Wakes that come before the callback runs
// are merged into one run. Qt's own cross-thread calls are avoided on purpose: their locks are
// invisible to ThreadSanitizer.
//
// Built on its thread; Close and the destructor run there too, once no other thread can call Wake
// any more.
class ThreadWake {
public:
    explicit ThreadWake(std::function<void()> onWake);
    ~ThreadWake();
    ThreadWake(const ThreadWake&) = delete;
    ThreadWake& operator=(const ThreadWake&) = delete;

    // From any thread: returns at once.
    void Wake();
    // The callback never runs again. Idempotent.
    void Close();

private:
    void Woken();

    std::function<void()> m_onWake;
    int m_eventFd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
};
