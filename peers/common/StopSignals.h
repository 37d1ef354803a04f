#pragma once

#include <atomic>
#include <chrono>
#include <poll.h>

// SIGINT, SIGTERM and SIGHUP (the terminal closing) ask a peer program to stop. They are blocked
// except inside WaitReady, so a stop can never slip in between a check of StopRequested and the
// wait that follows it.
void InstallStopSignals();
bool StopRequested();
// The flag the signals set, for loops that take a stop flag of their own.
const std::atomic<bool>& StopFlag();
// ppoll with the stop signals let through. A negative timeout waits until something is ready or
// a stop arrives. Returns ppoll's result (-1 with EINTR on a stop).
int WaitReady(pollfd* fds, nfds_t count, std::chrono::nanoseconds timeout);
