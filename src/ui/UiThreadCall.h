#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class QSocketNotifier;

// Runs a task on the UI thread for another thread and waits for it. The caller never touches a
// Qt object: it queues the task under a plain mutex and wakes the UI thread through an eventfd
// that a QSocketNotifier (UI thread) watches. Qt's own cross-thread calls are avoided on purpose:
// their locks are invisible to ThreadSanitizer.
//
// Built on the UI thread; Close and the destructor run there too.
class UiThreadCall {
public:
    UiThreadCall();
    ~UiThreadCall(); // Close()
    UiThreadCall(const UiThreadCall&) = delete;
    UiThreadCall& operator=(const UiThreadCall&) = delete;

    // From another thread: queues the task and waits until the UI thread has run it (true) or
    // the call was abandoned by Close (false, the task never runs). From the UI thread: runs the
    // task at once. After Close: false at once.
    bool Call(std::function<void()> task);

    // Refuses new calls and releases every waiter whose task has not started. Idempotent.
    void Close();

    // Calls queued and not yet started.
    std::size_t PendingCalls() const;

    bool OnUiThread() const { return std::this_thread::get_id() == m_uiThread; }

private:
    struct Pending {
        std::function<void()> task;
        bool finished = false; // ran, or abandoned
        bool ran = false;
    };

    void RunPending();

    std::thread::id m_uiThread;
    mutable std::mutex m_lock;
    std::condition_variable m_finished;
    std::deque<Pending*> m_queue; // the waiters own their Pending
    bool m_closed = false;
    int m_eventFd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
};
