#pragma once

#include "HookLibrary.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

// In-process hook library for tests: scripted events in, verdicts and injected packets recorded.
// Thread-safe; GetEvent waits about a millisecond when nothing is scripted, so an idle pump does
// not spin.
class FakeHookLibrary final : public HookLibrary, public ClientWindowRaiser {
public:
    struct Injection {
        std::uint8_t direction = 0; // 0 to the client, 1 to the server
        std::vector<std::uint8_t> bytes;
        friend bool operator==(const Injection&, const Injection&) = default;
    };

    // Script.
    void PushEvent(std::int32_t code, std::vector<std::uint8_t> packet, std::uint32_t value = 0);
    void PushPacket(std::vector<std::uint8_t> packet) { PushEvent(kPacketFromServer, std::move(packet)); }
    void SetClientWindow(std::uint32_t window);
    void SetState(std::uint8_t state);
    // As a peer naming the game's folder: kept, and the listener told at once (on this thread).
    void SetGameFolder(const std::string& folder);

    // Record.
    std::vector<std::uint32_t> Verdicts() const;
    std::size_t VerdictCount() const;
    std::vector<Injection> Injections() const;
    std::vector<std::uint32_t> RaisedWindows() const;
    std::size_t GetEventCalls() const;
    std::size_t GetStateCalls() const;
    std::size_t PendingEvents() const;
    // Wait until at least `count` verdicts / injections have been recorded; false on timeout.
    bool WaitForVerdicts(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    bool WaitForInjections(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    // HookLibrary
    std::uint8_t GetState() override;
    std::uint32_t GetClientWindow() override;
    bool GetEvent(Event& event) override;
    void SetVerdict(std::uint32_t verdict) override;
    void InjectToClient(const std::uint8_t* data, std::size_t length) override;
    void InjectToServer(const std::uint8_t* data, std::size_t length) override;
    std::string GameFolder() override;
    void SetGameFolderListener(GameFolderListener* listener) override;
    // ClientWindowRaiser
    void RaiseWindow(std::uint32_t window) override;

private:
    struct Scripted {
        std::int32_t code;
        std::uint32_t value;
        std::vector<std::uint8_t> packet;
    };

    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    std::deque<Scripted> m_script;
    std::vector<std::uint8_t> m_inHand; // the delivered packet, kept until the verdict
    std::vector<std::uint32_t> m_verdicts;
    std::vector<Injection> m_injections;
    std::vector<std::uint32_t> m_raised;
    std::uint32_t m_window = 0;
    std::uint8_t m_state = 0;
    std::size_t m_getEventCalls = 0;
    std::size_t m_getStateCalls = 0;
    std::string m_gameFolder;
    GameFolderListener* m_folderListener = nullptr;
};
