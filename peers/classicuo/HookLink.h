#pragma once

#include "HookConnection.h"
#include "InjectQueue.h"
#include "WaitBudget.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

// The plugin's link to Kestrune over the hook socket. Its own thread makes the connection (and
// remakes it once a second while Kestrune is not there), keeps the window id told, and reads what
// the program sends: WATCH sets what is asked about, INJECT and RAISE go to the InjectQueue.
//
// The game's main thread asks about a watched packet itself: under the connection's lock it writes
// the EVENT and waits on the socket for the VERDICT, a bounded time, with no other thread between
// it and the program. It waits no longer than its WaitBudget allows; a Kestrune that does not
// answer within it is left alone for kAbsence. Whoever holds the lock reads at most kReadBudget
// bytes at a time, so the other never waits long for it. Everything else the main thread calls
// returns at once; Watches() has no lock and no system call.
class HookLink {
public:
    static constexpr std::chrono::milliseconds kRetryInterval{1000};
    static constexpr std::chrono::milliseconds kAbsence{3000};
    static constexpr std::size_t kReadBudget = 64 * 1024;
    static constexpr std::size_t kMaxNotes = 32;

    HookLink(std::string socketPath, InjectQueue& queue);
    ~HookLink();
    HookLink(const HookLink&) = delete;
    HookLink& operator=(const HookLink&) = delete;

    // Starts the thread; throws std::system_error when it cannot.
    void Start();
    // Closes the connection and ends the thread, after it has printed what was noted.
    void Stop();

    bool Watches(std::uint8_t id) const {
        return (m_watched[id >> 6].load(std::memory_order_relaxed) >> (id & 63)) & 1;
    }
    // Sends the packet as an EVENT and waits for its VERDICT, as long as the budget allows: false
    // when the program blocks it. Without an answer in time the packet passes and the connection
    // is closed for kAbsence (so no late verdict can be taken for another packet's). Main thread.
    bool Ask(std::int32_t code, std::span<const std::uint8_t> packet);
    // The client's frame begins anew (its Tick). Main thread.
    void NewFrame() { m_budget.NewFrame(Clock::now()); }

    // The game's data folder, named to the program on every connection; false when it cannot be.
    bool SetGameFolder(const std::string& folder) {
        std::lock_guard lock(m_lock);
        return m_connection.SetGameFolder(folder);
    }
    // The window id to tell the program (HELLO), now and on every new connection.
    void SetWindow(std::uint32_t window);
    // A line for standard error, written by the link's thread (the game's thread never waits on it).
    void Note(std::string line);

private:
    enum class Told { Nothing, Waiting, Busy, Failed, Connected, Lost, Slow };

    using Clock = WaitBudget::Clock;

    void Run();
    void ConnectLocked();
    void ServeOnce();
    void ObserveLocked();
    bool AskLocked(std::int32_t code, std::span<const std::uint8_t> packet, Clock::time_point deadline);
    void TooSlowLocked();
    void OnFrame(const Frame& frame);
    void PublishLocked();
    void Tell(Told state, const std::string& line);
    void PrintNotes();
    void Wake();
    void SleepUntil(Clock::time_point until);

    const std::string m_path;
    InjectQueue& m_queue;
    int m_wakeFd = -1;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<std::uint32_t> m_window{0};
    std::array<std::atomic<std::uint64_t>, 4> m_watched{};

    // Under m_lock: the connection and the wait for a verdict.
    std::mutex m_lock;
    HookConnection m_connection;
    std::uint32_t m_windowSent = 0;
    bool m_awaiting = false;
    bool m_answered = false;
    std::uint32_t m_verdict = 0;
    bool m_toldQueueFull = false;
    bool m_tooSlow = false;        // closed for want of a verdict in time
    bool m_answeredInTime = false; // since the last time it was

    WaitBudget m_budget; // the main thread's

    std::mutex m_noteLock;
    std::vector<std::string> m_notes;

    // The link's thread only.
    Told m_told = Told::Nothing;
    bool m_hadConnection = false;
    bool m_wasAttached = false;
    Clock::time_point m_nextTry{};
};
