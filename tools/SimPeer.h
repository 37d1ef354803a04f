#pragma once

#include "HookProtocol.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <span>
#include <string>

// kestrune-sim's end of the hook socket: the game side. Sends HELLO and EVENTs, and prints one
// line on stdout for every VERDICT, INJECT and RAISE it receives; messages about the connection
// go to stderr.
class SimPeer {
public:
    enum class Outcome {
        Done,       // what was awaited happened
        TimedOut,   // the time ran out first
        Gone,       // the program closed the connection (or broke the protocol)
        Stopped,    // SIGINT or SIGTERM
        InputReady, // the extra descriptor became readable
    };

    SimPeer(std::string path, std::uint32_t window, bool printVerdicts);
    ~SimPeer();
    SimPeer(const SimPeer&) = delete;
    SimPeer& operator=(const SimPeer&) = delete;

    // Connects and sends HELLO, trying every 100 ms until the program is there; gives up after
    // `giveUp` (negative: never). Done, TimedOut or Stopped.
    Outcome Connect(std::chrono::milliseconds giveUp);
    bool Connected() const { return m_fd >= 0; }

    // Sends one EVENT; its verdict is printed when it arrives. False when the program is gone.
    bool SendEvent(std::int32_t code, std::span<const std::uint8_t> packet);
    // Serves the connection until every event sent has its verdict, or `timeout` passes.
    Outcome AwaitVerdicts(std::chrono::milliseconds timeout);
    // Serves the connection for `duration` (negative: with no end) or until `inputFd` (if not
    // negative) is readable. Done when the time is up.
    Outcome Serve(std::chrono::milliseconds duration, int inputFd = -1);

private:
    using Clock = std::chrono::steady_clock;
    Outcome Run(Clock::time_point deadline, bool endless, bool untilAnswered, int inputFd);
    bool ReadFrames();
    bool SendAll(std::span<const std::uint8_t> bytes);
    void Close(const std::string& why);
    void PrintLine(const std::string& line);

    const std::string m_path;
    const std::uint32_t m_window;
    const bool m_printVerdicts;
    int m_fd = -1;
    FrameReader m_reader{FrameSender::Program};
    std::deque<std::string> m_unanswered; // events awaiting their verdicts, oldest first
};
