#pragma once

// A game's two ends for the relay's tests and benchmarks, on the loopback address only: blocking
// sockets with timeouts (so nothing hangs), the relay in a thread of its own, and the game
// client's reading of the compressed stream.

#include "HuffmanCodec.h"
#include "PacketCutter.h"
#include "Relay.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace relaytest {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

inline void Fail(const std::string& what) {
    throw std::runtime_error(what);
}

// A connected TCP socket whose every wait ends after the timeout.
class Socket {
public:
    explicit Socket(int fd = -1) : m_fd(fd) { Setup(); }
    ~Socket() { Close(); }
    Socket(Socket&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    Socket& operator=(Socket&& other) noexcept {
        std::swap(m_fd, other.m_fd);
        return *this;
    }

    static Socket Connect(std::uint16_t port) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            close(fd);
            Fail("cannot connect to port " + std::to_string(port));
        }
        return Socket(fd);
    }

    int Fd() const { return m_fd; }
    void Send(std::span<const std::uint8_t> bytes) {
        while (!bytes.empty()) {
            const ssize_t sent = send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent <= 0)
                Fail("send failed");
            bytes = bytes.subspan(static_cast<std::size_t>(sent));
        }
    }
    // What is there (waiting up to the timeout); empty at the end of the stream.
    Bytes ReceiveSome() {
        Bytes bytes(64 << 10);
        const ssize_t got = recv(m_fd, bytes.data(), bytes.size(), 0);
        if (got < 0)
            Fail("receive timed out or failed");
        bytes.resize(static_cast<std::size_t>(got));
        return bytes;
    }
    Bytes ReceiveExactly(std::size_t count) {
        Bytes bytes;
        while (bytes.size() < count) {
            Bytes some(count - bytes.size());
            const ssize_t got = recv(m_fd, some.data(), some.size(), 0);
            if (got <= 0)
                Fail("the stream ended or timed out after " + std::to_string(bytes.size()) + " of " +
                     std::to_string(count) + " bytes");
            bytes.insert(bytes.end(), some.begin(), some.begin() + got);
        }
        return bytes;
    }
    bool AtEnd() {
        std::uint8_t byte;
        return recv(m_fd, &byte, 1, 0) == 0;
    }
    void Close() {
        if (m_fd >= 0)
            close(m_fd);
        m_fd = -1;
    }

private:
    void Setup() {
        if (m_fd < 0)
            return;
        timeval timeout{15, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        const int on = 1;
        setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    int m_fd;
};

class Listener {
public:
    Listener() {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || listen(m_fd, 4) != 0)
            Fail("cannot listen");
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        timeval timeout{15, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~Listener() { close(m_fd); }
    std::uint16_t Port() const { return m_port; }
    Socket Accept() {
        const int fd = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            Fail("nobody connected in time");
        return Socket(fd);
    }

private:
    int m_fd;
    std::uint16_t m_port = 0;
};

// The relay serving in its own thread; its messages are kept for the test to look at.
class RelayRunner {
public:
    explicit RelayRunner(RelayOptions options) {
        options.listenPort = 0;
        std::string error;
        m_relay = Relay::Open(
            options, [this](const std::string& line) { Add(line); }, error);
        if (!m_relay)
            Fail(error);
        m_thread = std::thread([this] { m_relay->Run(m_stop); });
    }
    ~RelayRunner() {
        m_stop.store(true);
        m_thread.join();
    }
    std::uint16_t LoginPort() const { return m_relay->LoginPort(); }
    std::uint16_t GamePort() const { return m_relay->GamePort(); }

    // Waits until `count` lines have held `part`.
    bool WaitFor(const std::string& part, std::size_t count = 1, std::chrono::milliseconds timeout = 15s) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return Count(part) >= count; });
    }
    std::vector<std::string> Lines() {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }

private:
    void Add(const std::string& line) {
        {
            std::lock_guard lock(m_mutex);
            m_lines.push_back(line);
        }
        m_changed.notify_all();
    }
    std::size_t Count(const std::string& part) const {
        std::size_t count = 0;
        for (const auto& line : m_lines)
            count += line.find(part) != std::string::npos;
        return count;
    }

    std::unique_ptr<Relay> m_relay;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_lines;
};

// The game client's side of a game connection: decompresses and cuts what the relay sends.
class ClientReader {
public:
    explicit ClientReader(PacketLengths lengths) : m_cutter(lengths) {}
    // The next whole packet from the socket.
    Bytes Next(Socket& socket) {
        while (m_packets.empty()) {
            const Bytes some = socket.ReceiveSome();
            if (some.empty())
                Fail("the relay ended the game stream; " + std::to_string(m_count) + " packets came");
            m_raw.insert(m_raw.end(), some.begin(), some.end());
            Bytes plain;
            m_decompressor.Feed(some, plain);
            m_cutter.Feed(plain,
                          [this](std::span<const std::uint8_t> p) { m_packets.emplace_back(p.begin(), p.end()); });
            if (m_cutter.Faulted())
                Fail("the client cannot cut the stream: " + m_cutter.Fault());
        }
        Bytes packet = std::move(m_packets.front());
        m_packets.pop_front();
        ++m_count;
        return packet;
    }
    // Every byte received, as it came.
    const Bytes& Raw() const { return m_raw; }

private:
    HuffmanDecompressor m_decompressor;
    PacketCutter m_cutter;
    std::deque<Bytes> m_packets;
    std::size_t m_count = 0;
    Bytes m_raw;
};

class TempFolder {
public:
    TempFolder() {
        char name[] = "/tmp/kestrune-relay-test-XXXXXX";
        m_path = mkdtemp(name);
    }
    ~TempFolder() { std::filesystem::remove_all(m_path); }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

inline Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

inline Bytes Compressed(std::span<const std::uint8_t> packet) {
    Bytes out;
    HuffmanCompressor().Feed(packet, out);
    return out;
}

struct Game {
    Socket client; // the game client's end
    Socket server; // the game server's end
};

// Logs in through the relay and opens the game connection, all on the calling thread (the relay
// has its own). `gameBytes` starts with the key.
inline Game EnterGame(RelayRunner& relay, Listener& login, Listener& game, const Bytes& loginBytes,
                      const Bytes& gameBytes) {
    Socket client = Socket::Connect(relay.LoginPort());
    client.Send(loginBytes);
    Socket shard = login.Accept();
    if (shard.ReceiveExactly(loginBytes.size()) != loginBytes)
        Fail("the login came changed");
    Bytes redirect = {0x8C, 127, 0, 0, 1, 0, 0, gameBytes[0], gameBytes[1], gameBytes[2], gameBytes[3]};
    redirect[5] = static_cast<std::uint8_t>(game.Port() >> 8);
    redirect[6] = static_cast<std::uint8_t>(game.Port());
    shard.Send(redirect);
    const Bytes pointed = client.ReceiveExactly(11);
    Game session{Socket::Connect(static_cast<std::uint16_t>(pointed[5] << 8 | pointed[6])), Socket()};
    session.client.Send(gameBytes);
    session.server = game.Accept();
    if (session.server.ReceiveExactly(gameBytes.size()) != gameBytes)
        Fail("the game login came changed");
    return session;
}

// A plain-text 0x80 (62 bytes) or 0x91 (65 bytes, with `key`) login packet.
inline Bytes PlainLogin(std::uint8_t id, const std::string& account, const std::string& password,
                        std::uint32_t key = 0) {
    const std::size_t at = id == 0x80 ? 1 : 5;
    Bytes packet(id == 0x80 ? 62 : 65, 0);
    packet[0] = id;
    if (id == 0x91)
        for (int k = 0; k < 4; ++k)
            packet[1 + k] = static_cast<std::uint8_t>(key >> (24 - 8 * k));
    std::copy(account.begin(), account.end(), packet.begin() + static_cast<std::ptrdiff_t>(at));
    std::copy(password.begin(), password.end(), packet.begin() + static_cast<std::ptrdiff_t>(at + 30));
    return packet;
}

} // namespace relaytest
