#include "StopSignals.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>

static std::atomic<bool> g_stop{false};
static sigset_t g_waitMask;
static bool g_installed = false; // a program without them (a test) keeps its own mask

static void OnStopSignal(int) {
    g_stop.store(true);
}

void InstallStopSignals() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);

    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGHUP);
    sigprocmask(SIG_BLOCK, &stops, &g_waitMask);
    sigdelset(&g_waitMask, SIGINT);
    sigdelset(&g_waitMask, SIGTERM);
    sigdelset(&g_waitMask, SIGHUP);
    g_installed = true;
}

bool StopRequested() {
    return g_stop.load();
}

const std::atomic<bool>& StopFlag() {
    return g_stop;
}

int WaitReady(pollfd* fds, nfds_t count, std::chrono::nanoseconds timeout) {
    if (g_stop.load()) {
        errno = EINTR;
        return -1;
    }
    const sigset_t* mask = g_installed ? &g_waitMask : nullptr;
    if (timeout.count() < 0)
        return ppoll(fds, count, nullptr, mask);
    const auto ns = timeout.count();
    const timespec limit{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    return ppoll(fds, count, &limit, mask);
}
