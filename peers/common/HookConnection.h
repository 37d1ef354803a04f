#pragma once

#include "HookProtocol.h"
#include "SendBuffer.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <string>
#include <vector>

// The game side's end of the hook socket: connects to the program, sends HELLO and EVENTs, and
// takes VERDICT, INJECT, RAISE and WATCH frames. Never waits: the owner polls Fd() for POLLIN
// (and POLLOUT while WantsWrite()) and calls Receive and Flush. One owner at a time; a peer with
// several threads serialises its calls itself.
class HookConnection {
public:
    enum class ConnectResult {
        Connected,    // HELLO queued; Attached() once the program's first WATCH is in
        NotListening, // no program at the path (or its backlog is full): try again later
        Failed,       // the path cannot be used, or another user listens there (reason in `error`)
    };
    // The program's frames are small; a program that sends without end is not ours to buffer.
    static constexpr std::size_t kMaxUnsent = std::size_t{8} << 20;

    HookConnection() = default;
    ~HookConnection();
    HookConnection(const HookConnection&) = delete;
    HookConnection& operator=(const HookConnection&) = delete;

    ConnectResult Connect(const std::string& path, std::uint32_t window, std::string& error);
    bool IsOpen() const { return m_fd >= 0; }
    int Fd() const { return m_fd; }

    // The program sends WATCH first to the peer it takes; a connection closed before that was
    // refused (another peer is attached).
    bool Attached() const { return m_attached; }
    bool WasRefused() const { return m_refused; }
    const WatchSet& Watched() const { return m_watched; }
    // EVENTs sent (or queued) whose VERDICT has not come back yet.
    std::size_t Outstanding() const { return m_outstanding; }

    void QueueHello(std::uint32_t window);
    // The game's data folder, told to every program that asks for it (its FOLDERWANTED) on this
    // connection and every later one; empty: none. False, nothing changed, for a folder that
    // cannot travel in a frame (see IsValidGameFolder).
    bool SetGameFolder(const std::string& folder);
    const std::string& GameFolder() const { return m_gameFolder; }
    // False, nothing queued, when the packet does not fit a frame.
    bool QueueEvent(std::int32_t code, std::span<const std::uint8_t> packet);
    bool WantsWrite() const { return m_unsent.Pending(); }
    std::size_t Unsent() const { return m_unsent.Unsent(); }
    // Writes what the socket takes now. False when the connection broke (it is then closed).
    bool Flush();

    // Reads what is there now, but no more than `maxBytes` (the rest waits for the next call, so a
    // program that sends without pause cannot keep the caller here), and hands each frame to
    // `onFrame`; its packet bytes are valid during the call only. WATCH updates Watched() before it
    // is handed over, VERDICT lowers Outstanding(); FOLDERWANTED is answered here (with the game
    // folder, if there is one) and not handed over. False when the program closed the connection or
    // sent a bad frame: the connection is then closed, with the reason in CloseReason().
    bool Receive(const std::function<void(const Frame&)>& onFrame,
                 std::size_t maxBytes = std::numeric_limits<std::size_t>::max());

    void Close(const std::string& reason = {});
    const std::string& CloseReason() const { return m_closeReason; }

private:
    void Append(std::span<const std::uint8_t> bytes);

    int m_fd = -1;
    bool m_attached = false;
    bool m_refused = false;
    WatchSet m_watched;
    std::size_t m_outstanding = 0;
    FrameReader m_reader{FrameSender::Program, true};
    std::string m_gameFolder;
    bool m_folderWanted = false;
    SendBuffer m_unsent{kMaxUnsent};
    std::string m_closeReason;
};
