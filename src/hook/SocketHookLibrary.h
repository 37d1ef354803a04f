#pragma once

#include "HookLibrary.h"
#include "HookProtocol.h"
#include "PacketHandler.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>

// The hook library's stand-in on Linux: a Unix socket on which one peer (the game side, or
// kestrune-sim) at a time delivers events and receives verdicts, injected packets and window
// raises. The frames are described in docs/hook-protocol.md.
//
// No thread of its own: GetEvent waits (at most about 10 ms) on the listening socket and the
// peer, accepts, reads and parses. Only the pump thread closes or replaces the peer; a writer
// whose send fails marks the peer broken and shuts it down, and the pump closes it. Writes from
// the three calling threads are serialised by one mutex; a peer that stops reading holds a writer
// for at most kSendTimeout before it is dropped.
class SocketHookLibrary final : public HookLibrary, public ClientWindowRaiser, public WatchListener {
public:
    static constexpr int kEventWaitMs = 10;
    static constexpr int kSendTimeoutMs = 1000;

    // Creates the socket's folder if missing (mode 0700; an existing one must be a directory of
    // ours, not writable by group or others), replaces a stale socket file, refuses when another
    // program is listening there, and listens (socket mode 0600). Null with a reason in `error`
    // when any of that fails.
    static std::unique_ptr<SocketHookLibrary> Open(const std::string& path, std::string& error);
    // Open(HookSocketPath(), error).
    static std::unique_ptr<SocketHookLibrary> Open(std::string& error);

    ~SocketHookLibrary() override; // closes both sockets and removes the socket file it created
    SocketHookLibrary(const SocketHookLibrary&) = delete;
    SocketHookLibrary& operator=(const SocketHookLibrary&) = delete;

    const std::string& Path() const { return m_path; }
    // Why the last peer was dropped for breaking the protocol; empty when none was.
    std::string LastProtocolError() const;

    // HookLibrary
    std::uint8_t GetState() override;         // 1 while a peer is attached
    std::uint32_t GetClientWindow() override; // the last HELLO's id, 0 when no peer is attached
    bool GetEvent(Event& event) override;     // waits at most about kEventWaitMs
    void SetVerdict(std::uint32_t verdict) override;
    void InjectToClient(const std::uint8_t* data, std::size_t length) override;
    void InjectToServer(const std::uint8_t* data, std::size_t length) override;
    // ClientWindowRaiser
    void RaiseWindow(std::uint32_t window) override;
    // WatchListener: the peer is told at once, and every new peer first thing.
    void WatchedPacketsChanged(const WatchSet& watched) override;

private:
    SocketHookLibrary(std::string path, int listenFd, dev_t device, ino_t inode);

    void AcceptPending();
    bool ReadFromPeer(); // false when the peer is gone or broke the protocol
    void DropPeer(const std::string& protocolError);
    void Inject(std::uint8_t direction, const std::uint8_t* data, std::size_t length);
    void Send(const std::uint8_t* head, std::size_t headLength, const std::uint8_t* tail, std::size_t tailLength);
    void SendLocked(const std::uint8_t* head, std::size_t headLength, const std::uint8_t* tail,
                    std::size_t tailLength);

    const std::string m_path;
    const int m_listenFd;
    const dev_t m_device;
    const ino_t m_inode;

    // Written by the pump under m_writeLock; read by writers under it, by the pump without it.
    int m_peerFd = -1;
    std::mutex m_writeLock;
    std::atomic<bool> m_peerBroken{false};
    std::atomic<bool> m_attached{false};
    std::atomic<std::uint32_t> m_window{0};
    WatchSet m_watched; // under m_writeLock

    // Pump thread only.
    FrameReader m_reader{FrameSender::Peer};
    std::uint64_t m_generation = 0;
    std::uint64_t m_eventGeneration = 0;
    bool m_verdictOwed = false;

    mutable std::mutex m_errorLock;
    std::string m_lastProtocolError;
};
