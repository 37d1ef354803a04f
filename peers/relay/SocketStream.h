#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <sys/socket.h>
#include <vector>

// One end of a relayed TCP connection: a non-blocking socket and the bytes waiting to be
// written to it. Never waits.
class SocketStream {
public:
    enum class ReadResult { Data, Nothing, Closed, Failed };

    SocketStream() = default;
    explicit SocketStream(int fd) : m_fd(fd) {}
    ~SocketStream() { Close(); }
    SocketStream(const SocketStream&) = delete;
    SocketStream& operator=(const SocketStream&) = delete;

    int Fd() const { return m_fd; }
    bool IsOpen() const { return m_fd >= 0; }

    // Starts connecting; false, with the reason in `error`, when it fails at once.
    bool StartConnect(const sockaddr_storage& address, socklen_t length, std::string& error);
    bool Connecting() const { return m_connecting; }
    // Once the socket is writable while connecting: false, with the reason, when it failed.
    bool FinishConnect(std::string& error);

    // Appends what the socket has now (at most `most` bytes) to `into`.
    ReadResult Read(std::vector<std::uint8_t>& into, std::size_t most, std::string& error);

    // What waits to be written; append to it freely.
    std::vector<std::uint8_t>& Out() { return m_out; }
    void Queue(std::span<const std::uint8_t> bytes) { m_out.insert(m_out.end(), bytes.begin(), bytes.end()); }
    std::size_t Unsent() const { return m_out.size() - m_sent; }
    bool WantsWrite() const { return m_connecting || Unsent() > 0; }
    // Writes what the socket takes now. False, with the reason, when the connection broke.
    bool Flush(std::string& error);

    // No more writing: the peer sees the end of the stream once it has read everything.
    void ShutdownWrite();
    void Close();

private:
    int m_fd = -1;
    bool m_connecting = false;
    std::vector<std::uint8_t> m_out;
    std::size_t m_sent = 0;
};

// "127.0.0.1:2593" for an address.
std::string AddressText(const sockaddr_storage& address);
