#pragma once

#include "HookLibrary.h"
#include "HookProtocol.h"
#include "PacketHandler.h"
#include "PeerOutbox.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>

// The hook library's stand-in on Linux: a Unix socket on which one peer (the game side, or
// kestrune-sim) at a time delivers events and receives verdicts, injected packets, window raises
// and the set of packet ids to ask about. The frames are described in docs/hook-protocol.md.
//
// No thread of its own: GetEvent sleeps on the listening socket, the peer and a wake-up event
// until something happens, and there accepts, reads and parses. Only the pump thread (GetEvent's
// caller) closes or replaces the peer. The three writing threads (pump: verdicts; injection
// thread: INJECT; UI thread: RAISE and WATCH) only append to one outgoing buffer and write what
// the socket takes at once, never waiting; the pump writes the rest as the peer reads. A peer
// that leaves too much unread for too long (the outbox's bounds) is dropped.
class SocketHookLibrary final : public HookLibrary, public ClientWindowRaiser, public WatchListener {
public:
    // How long the pump stays away from the listening socket after accept failed for want of
    // descriptors or memory; the attached peer is served meanwhile.
    static constexpr std::chrono::milliseconds kAcceptBackOff{250};

    struct Limits {
        std::size_t maxUnsent = PeerOutbox::kDefaultMaxUnsent;
        std::chrono::milliseconds stallLimit = PeerOutbox::kDefaultStallLimit;
    };

    // Creates the socket's folder if missing (mode 0700; an existing one must be a directory of
    // ours, not writable by group or others), replaces a stale socket file, refuses when another
    // program is listening there, and listens (socket mode 0600). Null with a reason in `error`
    // when any of that fails.
    static std::unique_ptr<SocketHookLibrary> Open(const std::string& path, std::string& error, Limits limits);
    static std::unique_ptr<SocketHookLibrary> Open(const std::string& path, std::string& error);
    // Open(HookSocketPath(), error).
    static std::unique_ptr<SocketHookLibrary> Open(std::string& error);

    ~SocketHookLibrary() override; // closes the sockets and removes the socket file it created
    SocketHookLibrary(const SocketHookLibrary&) = delete;
    SocketHookLibrary& operator=(const SocketHookLibrary&) = delete;

    const std::string& Path() const { return m_path; }
    // Why the program last dropped a peer (a protocol error, or frames left unread); empty when
    // every peer so far left by itself.
    std::string LastDropReason() const;

    // HookLibrary
    std::uint8_t GetState() override;         // 1 while a peer is attached
    std::uint32_t GetClientWindow() override; // the last HELLO's id, 0 when no peer is attached
    bool GetEvent(Event& event) override;     // sleeps until an event comes or Wake()
    void SetVerdict(std::uint32_t verdict) override;
    void InjectToClient(const std::uint8_t* data, std::size_t length) override;
    void InjectToServer(const std::uint8_t* data, std::size_t length) override;
    void Wake() override;
    std::string GameFolder() override;
    void SetGameFolderListener(GameFolderListener* listener) override;
    // ClientWindowRaiser
    void RaiseWindow(std::uint32_t window) override;
    // WatchListener: the peer is told at once, and every new peer first thing.
    void WatchedPacketsChanged(const WatchSet& watched) override;

private:
    SocketHookLibrary(std::string path, int listenFd, int wakeFd, dev_t device, ino_t inode, Limits limits);

    void AcceptPending();
    bool PeerHasLeft() const;
    void ReadFromPeer();
    void DropPeer(const std::string& reason);
    // Appends one frame for the peer. `now`: write at once what the socket takes; otherwise the
    // pump writes it before it next sleeps.
    void Send(std::span<const std::uint8_t> head, std::span<const std::uint8_t> tail, bool now);
    void SendLocked(std::span<const std::uint8_t> head, std::span<const std::uint8_t> tail, bool now);
    void FlushLocked();
    void MarkBrokenLocked(const std::string& reason);
    void Inject(std::uint8_t direction, const std::uint8_t* data, std::size_t length);
    void Nudge(); // wakes the pump to write or drop; not a stop

    const std::string m_path;
    const int m_listenFd;
    const int m_wakeFd;
    const dev_t m_device;
    const ino_t m_inode;

    // Shared by the writing threads, under m_outLock. The pump closes the peer's socket only
    // under it too, so nobody writes to a closed (or reused) descriptor.
    mutable std::mutex m_outLock;
    PeerOutbox m_outbox;
    WatchSet m_watched;
    std::string m_brokenReason; // set: the peer must go, for this reason
    std::atomic<bool> m_peerBroken{false};

    std::atomic<bool> m_attached{false};
    std::atomic<std::uint32_t> m_window{0};
    std::atomic<bool> m_wakeRequested{false};

    // Pump thread only.
    int m_peerFd = -1;
    FrameReader m_reader{FrameSender::Peer};
    std::uint64_t m_generation = 0;
    std::uint64_t m_eventGeneration = 0;
    bool m_verdictOwed = false;
    PeerOutbox::Clock::time_point m_acceptResumes{};

    mutable std::mutex m_reasonLock;
    std::string m_lastDropReason;

    std::mutex m_folderLock;
    std::string m_gameFolder;
    std::atomic<GameFolderListener*> m_folderListener{nullptr};
};
