#pragma once

#include "HookConnection.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <span>
#include <string>

// kestrune-sim's end of the hook socket: the game side. Sends HELLO and, for the packets the
// program watches (all of them with `askAll`), EVENTs; prints one line on stdout for every
// verdict, INJECT and RAISE; messages about the connection go to stderr.
class SimPeer {
public:
    enum class Outcome {
        Done,       // what was awaited happened
        TimedOut,   // the time ran out first
        Gone,       // the program closed the connection (or broke the protocol)
        Stopped,    // SIGINT, SIGTERM or SIGHUP
        InputReady, // the extra descriptor became readable
    };
    // Between tries while no program listens, and while another peer holds the program.
    static constexpr std::chrono::milliseconds kRetryInterval{100};
    static constexpr std::chrono::milliseconds kBusyRetryInterval{1000};

    SimPeer(std::string path, std::uint32_t window, bool printVerdicts, bool askAll);
    SimPeer(const SimPeer&) = delete;
    SimPeer& operator=(const SimPeer&) = delete;

    // Connects, sends HELLO and waits to be taken (the program's WATCH), trying again until the
    // program is there and free; gives up after `giveUp` (negative: never). Done, TimedOut or
    // Stopped.
    Outcome Connect(std::chrono::milliseconds giveUp);
    bool Connected() const { return m_connection.IsOpen(); }
    // The game folder named to the program (one that asks for it) on every connection.
    void SetGameFolder(const std::string& folder) { m_connection.SetGameFolder(folder); }

    // Sends one EVENT when the program watches the packet's id (or always, with askAll); its
    // verdict is printed when it arrives. An unwatched packet passes at once, as the game's
    // side of a real connection lets it. False when the program is gone.
    bool SendEvent(std::int32_t code, std::span<const std::uint8_t> packet);
    // Serves the connection until every event sent has its verdict, or `timeout` passes.
    Outcome AwaitVerdicts(std::chrono::milliseconds timeout);
    // Serves the connection for `duration` (negative: with no end) or until `inputFd` (if not
    // negative) is readable. Done when the time is up.
    Outcome Serve(std::chrono::milliseconds duration, int inputFd = -1);

private:
    using Clock = std::chrono::steady_clock;
    Outcome Run(Clock::time_point deadline, bool endless, bool untilAnswered, bool untilAttached, int inputFd);
    void OnFrame(const Frame& frame);
    void Lost();
    void PrintLine(const std::string& line);

    const std::string m_path;
    const std::uint32_t m_window;
    const bool m_printVerdicts;
    const bool m_askAll;
    HookConnection m_connection;
    std::deque<std::string> m_unanswered; // events awaiting their verdicts, oldest first
    bool m_toldBusy = false;
};
