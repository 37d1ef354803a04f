#pragma once

#include "ClientOpening.h"
#include "GameSession.h"
#include "HookConnection.h"
#include "LoginSession.h"
#include "RelayOptions.h"
#include "SessionHost.h"
#include "WindowWorker.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

// kestrune-relay: listens for the game client, relays its login and game connections to the
// shard, and is a peer of Kestrune's hook socket for the one game session it shows to Kestrune.
// One thread, one poll loop, no blocking call but the shard's name look-up at Open; the X
// display is asked on a worker thread (WindowWorker) that the loop never waits for.
class Relay final : private SessionHost {
public:
    using Clock = std::chrono::steady_clock;
    using Log = std::function<void(const std::string& line)>;
    // The window id given to Kestrune while in the world when the client's X window is not known.
    static constexpr std::uint32_t kStandInWindow = 1;
    // How long the listening sockets are left alone after accept failed for want of descriptors
    // or memory: the connection stays queued, and polling for it now would only spin.
    static constexpr std::chrono::milliseconds kAcceptBackOff{250};
    // The most read from Kestrune's socket in one turn of the loop, so its INJECTs are held to
    // the game's water marks like the game's own bytes.
    static constexpr std::size_t kHookReadBudget = std::size_t{64} << 10;

    // Resolves the shard and listens; null with the reason in `error` when either fails.
    static std::unique_ptr<Relay> Open(const RelayOptions& options, Log log, std::string& error);
    ~Relay() override;

    std::uint16_t LoginPort() const { return m_loginPort; }
    std::uint16_t GamePort() const { return m_gamePort; }
    std::string ShardText() const;

    // Serves everything for at most `wait` (less when something is due).
    void RunOnce(std::chrono::milliseconds wait);
    void Run(const std::atomic<bool>& stop);

private:
    struct Opening {
        int fd;
        bool atGamePort;
        std::unique_ptr<ClientOpening> reader;
        std::vector<std::uint8_t> bytes;
        std::string name;
        Clock::time_point deadline;
    };
    struct Asked {
        GameSession* session; // null once the session is gone
        Direction direction;
        std::uint64_t sequence;
    };

    Relay(const RelayOptions& options, Log log);

    // SessionHost
    void Say(const std::string& line) override;
    PacketLengths LengthsFor(const std::optional<ClientVersion>& version) const override;
    void RememberRedirect(std::uint32_t key, const GameServer& server) override;
    std::optional<GameServer> FindRedirect(std::uint32_t key) const override;
    bool IsRelayItself(const sockaddr_storage& address) const override;
    bool Watched(std::uint8_t id) const override;
    bool AskAbout(GameSession& session, Direction direction, std::uint64_t sequence,
                  std::span<const std::uint8_t> packet) override;
    bool TakeInspection(GameSession& session) override;
    void InWorldChanged(GameSession& session) override;

    void Accept(int listenFd, bool atGamePort);
    void ReadOpening(Opening& opening);
    void StartSession(Opening& opening);
    void ServeHook(short revents);
    void TryHook(Clock::time_point now);
    void OnHookFrame(const Frame& frame);
    void HookLost();
    void UpdateWindow();
    void RaiseClient();
    void TakeWindowAnswers();
    void RemoveFinished();

    const RelayOptions m_options;
    const Log m_log;
    std::string m_hookPath;
    sockaddr_storage m_shard{};
    socklen_t m_shardLength = 0;
    int m_loginFd = -1;
    int m_gameFd = -1;
    std::uint16_t m_loginPort = 0;
    std::uint16_t m_gamePort = 0;
    unsigned m_connectionCount = 0;
    Clock::time_point m_acceptResumes{};
    bool m_toldAcceptTrouble = false;

    std::vector<Opening> m_openings;
    std::vector<std::unique_ptr<LoginSession>> m_logins;
    std::vector<std::unique_ptr<GameSession>> m_games;
    std::map<std::uint32_t, GameServer> m_redirects;
    std::deque<std::uint32_t> m_redirectOrder;

    HookConnection m_hook;
    bool m_hookWasOpen = false;
    bool m_hookAttached = false;
    Clock::time_point m_nextHookTry{};
    bool m_toldHookAbsent = false;
    bool m_toldHookBusy = false;
    std::deque<Asked> m_asked;

    GameSession* m_inspected = nullptr;
    std::uint32_t m_window = 0;
    std::optional<pid_t> m_clientPid;
    WindowWorker m_windows;
    bool m_toldRaise = false;
    bool m_toldDisplayStuck = false;
    bool m_toldNoGame = false;
};
