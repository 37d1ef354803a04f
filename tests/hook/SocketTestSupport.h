#pragma once

// What the socket stand-in's tests share: a pump as the bridge runs it, a hand-driven peer for
// frames kestrune-sim never sends, kestrune-sim as a child process, and the fixture around a
// library listening in a folder of its own. Every wait is on a condition; the time limits only
// guard against hangs.

#include "ByteOrder.h"
#include "HookLibrary.h"
#include "HookProtocol.h"
#include "SocketHookLibrary.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

static constexpr auto kHangGuard = 15s;
static constexpr std::uint32_t kSimWindow = 0x00C0FFEE;

template <class Pred> static bool WaitUntil(Pred pred) {
    const auto end = std::chrono::steady_clock::now() + kHangGuard;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

static int RemainingMs(std::chrono::steady_clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

[[maybe_unused]] static Bytes Be32(std::uint32_t v) {
    Bytes out(4);
    PokeBe32(out, 0, v);
    return out;
}

template <std::size_t N> static Bytes ToBytes(const std::array<std::uint8_t, N>& frame) {
    return Bytes(frame.begin(), frame.end());
}

[[maybe_unused]] static Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

[[maybe_unused]] static Bytes SoundPacket(std::uint16_t number, std::uint16_t x, std::uint16_t y, std::uint8_t z) {
    return {0x54,
            0x01,
            static_cast<std::uint8_t>(number >> 8),
            static_cast<std::uint8_t>(number),
            0,
            0,
            static_cast<std::uint8_t>(x >> 8),
            static_cast<std::uint8_t>(x),
            static_cast<std::uint8_t>(y >> 8),
            static_cast<std::uint8_t>(y),
            0,
            z};
}

// The 0xAE system message as the program injects it: text in UTF-16BE from offset 48, zero-padded.
[[maybe_unused]] static Bytes SystemMessage(const std::u16string& text) {
    const std::size_t size = 48 + 2 * text.size() + 4;
    Bytes packet(size, 0);
    packet[0] = 0xAE;
    packet[1] = static_cast<std::uint8_t>(size >> 8);
    packet[2] = static_cast<std::uint8_t>(size);
    for (std::size_t i = 0; i < text.size(); ++i) {
        packet[48 + 2 * i] = static_cast<std::uint8_t>(text[i] >> 8);
        packet[49 + 2 * i] = static_cast<std::uint8_t>(text[i]);
    }
    return packet;
}

[[maybe_unused]] static std::string Zeros(int count) {
    std::string out;
    for (int i = 0; i < count; ++i)
        out += " 00";
    return out;
}

class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/kestrune-sock-test-XXXXXX";
        m_path = mkdtemp(name);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

// The program side's pump thread: GetEvent, GetState, SetVerdict, as the bridge does it.
class Pump {
public:
    struct Recorded {
        std::int32_t code;
        Bytes packet;
    };
    using Decide = std::function<std::uint32_t(const Recorded&)>;

    Pump(
        HookLibrary& library, Decide decide = [](const Recorded&) { return 0u; })
        : m_library(library), m_decide(std::move(decide)), m_thread([this] { Run(); }) {}
    ~Pump() {
        m_stop = true;
        m_library.Wake();
        m_thread.join();
    }
    std::vector<Recorded> Events() const {
        std::lock_guard lock(m_lock);
        return m_events;
    }

private:
    void Run() {
        while (!m_stop) {
            HookLibrary::Event event;
            const bool delivered = m_library.GetEvent(event);
            m_library.GetState();
            if (!delivered)
                continue;
            Recorded recorded{event.code, Bytes(event.packet, event.packet + event.length)};
            const std::uint32_t verdict = m_decide(recorded);
            {
                std::lock_guard lock(m_lock);
                m_events.push_back(std::move(recorded));
            }
            m_library.SetVerdict(verdict);
        }
    }

    HookLibrary& m_library;
    Decide m_decide;
    mutable std::mutex m_lock;
    std::vector<Recorded> m_events;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// GetEvent sleeps until something happens. For tests that call it by hand, this wakes it every
// few milliseconds, so that each call comes back soon whether or not an event came.
class PeriodicWake {
public:
    explicit PeriodicWake(HookLibrary& library)
        : m_thread([this, &library] {
              std::unique_lock lock(m_lock);
              while (!m_stop) {
                  library.Wake();
                  m_changed.wait_for(lock, 3ms);
              }
          }) {}
    ~PeriodicWake() {
        {
            std::lock_guard lock(m_lock);
            m_stop = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_stop = false;
    std::thread m_thread;
};

// A hand-driven peer for frames that kestrune-sim would never send.
class RawPeer {
public:
    explicit RawPeer(const std::string& path) {
        m_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof(address.sun_path) - 1);
        m_connected = connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~RawPeer() { Close(); }
    bool Connected() const { return m_connected; }
    void Close() {
        if (m_fd >= 0)
            close(m_fd);
        m_fd = -1;
    }
    bool Send(const Bytes& bytes) {
        return send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    bool SendHello(std::uint32_t window) { return Send(ToBytes(EncodeHello(window))); }
    bool SendEvent(std::int32_t code, const Bytes& packet) { return Send(EncodeEvent(code, 0, packet)); }
    // The last WATCH the program sent, none before the first.
    const std::optional<WatchSet>& Watched() const { return m_watched; }
    // The next frame other than WATCH (or any frame, with `withWatch`) from the program; none when
    // the connection closed first (or the guard ran out).
    std::optional<Frame> ReadFrame(bool withWatch = false) {
        const auto end = std::chrono::steady_clock::now() + kHangGuard;
        for (;;) {
            if (m_reader.Next(m_frame) == FrameReader::Result::Frame) {
                if (m_frame.type == FrameType::Watch) {
                    m_watched = m_frame.watch;
                    if (!withWatch)
                        continue;
                }
                m_copy.assign(m_frame.packet.begin(), m_frame.packet.end());
                m_frame.packet = m_copy;
                return m_frame;
            }
            if (!ReadSome(end))
                return std::nullopt;
        }
    }
    // True once the program has taken this peer (its first frame, WATCH, is in); false when it
    // closed the connection first.
    bool WaitTaken() {
        const auto end = std::chrono::steady_clock::now() + kHangGuard;
        while (!m_watched) {
            if (m_reader.Next(m_frame) == FrameReader::Result::Frame) {
                if (m_frame.type == FrameType::Watch)
                    m_watched = m_frame.watch;
                continue;
            }
            if (!ReadSome(end))
                return false;
        }
        return true;
    }
    int Fd() const { return m_fd; }
    // True when the program closes the connection (whatever it sent before is skipped).
    bool WaitClosed() {
        const auto end = std::chrono::steady_clock::now() + kHangGuard;
        while (ReadSome(end)) {
        }
        return m_closed;
    }

private:
    bool ReadSome(std::chrono::steady_clock::time_point end) {
        pollfd fd{m_fd, POLLIN, 0};
        if (poll(&fd, 1, RemainingMs(end)) <= 0)
            return false;
        const auto space = m_reader.WritableSpace();
        const ssize_t got = recv(m_fd, space.data(), space.size(), 0);
        if (got <= 0) {
            m_closed = true;
            return false;
        }
        m_reader.Commit(static_cast<std::size_t>(got));
        return true;
    }

    int m_fd = -1;
    bool m_connected = false;
    bool m_closed = false;
    FrameReader m_reader{FrameSender::Program};
    Frame m_frame;
    Bytes m_copy;
    std::optional<WatchSet> m_watched;
};

// kestrune-sim as a child process with its stdout and stderr captured.
class SimProcess {
public:
    SimProcess(const std::string& socketPath, const std::string& scriptPath, std::vector<std::string> options) {
        // --all: these tests' pumps have no handler table, so nothing is watched.
        std::vector<std::string> args = {KESTRUNE_SIM_PATH, "--socket", socketPath, "--verdict-timeout", "60000",
                                         "--all"};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(scriptPath);
        std::vector<char*> argv;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);

        int out[2], err[2];
        EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
        EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        EXPECT_EQ(posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        m_out = out[0];
        m_err = err[0];
    }
    ~SimProcess() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        close(m_out);
        close(m_err);
    }

    std::optional<std::string> NextLine() {
        const auto end = std::chrono::steady_clock::now() + kHangGuard;
        for (;;) {
            if (const auto newline = m_stdout.find('\n'); newline != std::string::npos) {
                std::string line = m_stdout.substr(0, newline);
                m_stdout.erase(0, newline + 1);
                return line;
            }
            if (!ReadSome(end))
                return std::nullopt;
        }
    }
    // Asks the simulator to stop (SIGTERM) unless it ends by itself; its exit status.
    int Finish(bool terminate) {
        if (terminate)
            kill(m_pid, SIGTERM);
        const auto end = std::chrono::steady_clock::now() + kHangGuard;
        while (ReadSome(end)) {
        }
        int status = 0;
        if (waitpid(m_pid, &status, 0) != m_pid)
            return -1;
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::string Stdout() const { return m_stdout; }
    std::string Stderr() const { return m_stderr; }

private:
    // False once both pipes have closed or the guard ran out.
    bool ReadSome(std::chrono::steady_clock::time_point end) {
        pollfd fds[2] = {{m_outOpen ? m_out : -1, POLLIN, 0}, {m_errOpen ? m_err : -1, POLLIN, 0}};
        if ((!m_outOpen && !m_errOpen) || poll(fds, 2, RemainingMs(end)) <= 0)
            return false;
        char buffer[4096];
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents == 0)
                continue;
            const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got <= 0)
                (i == 0 ? m_outOpen : m_errOpen) = false;
            else
                (i == 0 ? m_stdout : m_stderr).append(buffer, static_cast<std::size_t>(got));
        }
        return true;
    }

    pid_t m_pid = -1;
    int m_out = -1;
    int m_err = -1;
    bool m_outOpen = true;
    bool m_errOpen = true;
    std::string m_stdout;
    std::string m_stderr;
};

class SocketHookLibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_path = m_dir.Path() + "/run/hook.sock";
        std::string error;
        m_library = SocketHookLibrary::Open(m_path, error);
        ASSERT_TRUE(m_library) << error;
    }

    std::string Script(const std::string& text) {
        const std::string path = m_dir.Path() + "/script" + std::to_string(++m_scripts) + ".txt";
        std::ofstream(path) << text;
        return path;
    }
    void ExpectLines(SimProcess& sim, const std::vector<std::string>& expected) {
        for (const auto& line : expected) {
            const auto got = sim.NextLine();
            ASSERT_TRUE(got) << "missing \"" << line << "\"; stderr: " << sim.Stderr();
            EXPECT_EQ(*got, line);
        }
    }
    bool Attached(std::uint32_t window) {
        return WaitUntil([&] { return m_library->GetState() == 1 && m_library->GetClientWindow() == window; });
    }
    bool Detached() {
        return WaitUntil([&] { return m_library->GetState() == 0 && m_library->GetClientWindow() == 0; });
    }
    // Drives GetEvent from the test thread until an event comes.
    bool NextEvent(HookLibrary::Event& event) {
        PeriodicWake waking(*m_library);
        return WaitUntil([&] { return m_library->GetEvent(event); });
    }

    TempDir m_dir;
    std::string m_path;
    std::unique_ptr<SocketHookLibrary> m_library;
    int m_scripts = 0;
};
