#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;

// Has the UI thread run a callback soon, at another thread's request, without that thread ever
// waiting: Wake writes to an eventfd that a QSocketNotifier (UI thread) watches. Wakes that come
// before the callback runs are merged into one run. Qt's own cross-thread calls are avoided on
// purpose: their locks are invisible to ThreadSanitizer.
//
// Built on the UI thread; Close and the destructor run there too, once no other thread can call
// Wake any more.
class UiThreadWake {
public:
    explicit UiThreadWake(std::function<void()> onWake);
    ~UiThreadWake();
    UiThreadWake(const UiThreadWake&) = delete;
    UiThreadWake& operator=(const UiThreadWake&) = delete;

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
