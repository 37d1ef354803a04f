// The peers' end of the hook socket against Kestrune's side of it.

#include "HookConnection.h"
#include "GamePacket.h"
#include "ProgramSide.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;

namespace {

class TempFolder {
public:
    TempFolder() {
        char name[] = "/tmp/kestrune-peer-test-XXXXXX";
        m_path = mkdtemp(name);
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

// Serves `connection` until `done` holds, the connection closes or the hang guard runs out.
template <class Done> bool ServeUntil(HookConnection& connection, std::vector<Frame>& frames, Done done) {
    const auto end = std::chrono::steady_clock::now() + 15s;
    while (!done()) {
        if (!connection.IsOpen() || std::chrono::steady_clock::now() > end)
            return false;
        pollfd fd{connection.Fd(), static_cast<short>(POLLIN | (connection.WantsWrite() ? POLLOUT : 0)), 0};
        if (poll(&fd, 1, 100) < 0)
            return false;
        if ((fd.revents & POLLOUT) != 0)
            connection.Flush();
        if ((fd.revents & ~POLLOUT) != 0)
            connection.Receive([&](const Frame& frame) { frames.push_back(frame); });
    }
    return true;
}

} // namespace

TEST(HookConnectionTest, TakenWithTheWatchedSetAndAnsweredInOrder) {
    TempFolder folder;
    const std::string path = folder.Path() + "/hook.sock";
    ProgramSide program(path);
    program.Mute(0x01F4);

    HookConnection peer;
    std::string error;
    ASSERT_EQ(peer.Connect(path, 0x1234, error), HookConnection::ConnectResult::Connected) << error;
    std::vector<Frame> frames;
    ASSERT_TRUE(ServeUntil(peer, frames, [&] { return peer.Attached(); })) << peer.CloseReason();
    WatchSet expected;
    expected.Add(0x20);
    expected.Add(0x54);
    EXPECT_EQ(peer.Watched(), expected);

    // A second peer while this one is attached is refused, and can tell.
    HookConnection second;
    ASSERT_EQ(second.Connect(path, 1, error), HookConnection::ConnectResult::Connected) << error;
    std::vector<Frame> ignored;
    EXPECT_FALSE(ServeUntil(second, ignored, [&] { return second.Attached(); }));
    EXPECT_TRUE(second.WasRefused()) << second.CloseReason();

    const std::vector<std::vector<std::uint8_t>> packets = {PlayerPacket(10, 20, -3), SoundPacket(0x01F4, 0, 0, 0),
                                                            SoundPacket(0x0002, 0, 0, 0)};
    for (const auto& packet : packets)
        ASSERT_TRUE(peer.QueueEvent(kEventFromServer, packet));
    EXPECT_EQ(peer.Outstanding(), 3u);
    frames.clear();
    ASSERT_TRUE(ServeUntil(peer, frames, [&] { return peer.Outstanding() == 0; })) << peer.CloseReason();
    std::vector<std::uint32_t> verdicts;
    for (const auto& frame : frames)
        if (frame.type == FrameType::Verdict)
            verdicts.push_back(frame.verdict);
    EXPECT_EQ(verdicts, (std::vector<std::uint32_t>{0, 1, 0}));
    EXPECT_TRUE(program.Catalogue().Find(0x0002).has_value());
    EXPECT_EQ(program.Position().Load(), (PlayerPosition::Value{10, 20, 0xFD}));
}

TEST(HookConnectionTest, NoProgramIsNotListening) {
    TempFolder folder;
    HookConnection peer;
    std::string error;
    EXPECT_EQ(peer.Connect(folder.Path() + "/none.sock", 0, error), HookConnection::ConnectResult::NotListening);
    EXPECT_FALSE(peer.IsOpen());
    EXPECT_EQ(peer.Connect(std::string(200, 'x'), 0, error), HookConnection::ConnectResult::Failed);
    EXPECT_NE(error.find("longer than"), std::string::npos) << error;
}

// A program of another user at the path would see every watched packet and could inject into the
// game: the peer refuses it. Needs root, to listen as another user.
TEST(HookConnectionTest, ListenerOfAnotherUserIsRefused) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to listen as another user";
    TempFolder folder;
    ASSERT_EQ(chmod(folder.Path().c_str(), 0777), 0);
    const std::string path = folder.Path() + "/hook.sock";
    int ready[2];
    int tried[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(tried), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Only async-signal-safe calls from here: the test process has threads.
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size());
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        const bool listening = setgid(65534) == 0 && setuid(65534) == 0 &&
                               bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                               listen(fd, 4) == 0;
        const char byte = listening ? 1 : 0;
        (void)!write(ready[1], &byte, 1);
        char ignored;
        (void)!read(tried[0], &ignored, 1); // until the parent has tried
        _exit(0);
    }
    char listening = 0;
    ASSERT_EQ(read(ready[0], &listening, 1), 1);
    std::string error;
    HookConnection peer;
    const auto result = listening ? peer.Connect(path, 0, error) : HookConnection::ConnectResult::Connected;
    (void)!write(tried[1], "x", 1);
    waitpid(child, nullptr, 0);
    for (const int fd : {ready[0], ready[1], tried[0], tried[1]})
        close(fd);
    ASSERT_TRUE(listening) << "the child could not listen as user 65534";
    EXPECT_EQ(result, HookConnection::ConnectResult::Failed);
    EXPECT_FALSE(peer.IsOpen());
    EXPECT_NE(error.find("runs as user 65534"), std::string::npos) << error;
}

// A program that sends without pause must not keep the peer's thread in Receive: it reads what
// it was allowed and leaves the rest for the next call.
TEST(HookConnectionTest, ReceiveReadsNoMoreThanAllowed) {
    TempFolder folder;
    const std::string path = folder.Path() + "/hook.sock";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size());
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    HookConnection peer;
    std::string error;
    ASSERT_EQ(peer.Connect(path, 0, error), HookConnection::ConnectResult::Connected) << error;
    const int program = accept(listener, nullptr, nullptr);
    ASSERT_GE(program, 0);
    const auto watch = EncodeWatch(WatchSet()); // 37 bytes
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(send(program, watch.data(), watch.size(), 0), static_cast<ssize_t>(watch.size()));

    std::size_t frames = 0;
    const auto count = [&](const Frame&) { ++frames; };
    for (const auto& [budget, total] : {std::pair{40, 1}, {40, 2}, {1000, 3}}) {
        EXPECT_TRUE(peer.Receive(count, budget));
        EXPECT_EQ(frames, static_cast<std::size_t>(total)) << "budget " << budget;
    }
    close(program);
    close(listener);
}

// The game folder goes only to a program that has asked for it on this connection: an older
// program would drop the peer for a frame type it does not know.
TEST(HookConnectionTest, NamesTheGameFolderOnlyToAProgramThatAsks) {
    TempFolder folder;
    const std::string path = folder.Path() + "/hook.sock";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size());
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);

    HookConnection peer;
    EXPECT_FALSE(peer.SetGameFolder("/caf\xE9"));                   // not UTF-8
    EXPECT_FALSE(peer.SetGameFolder("/" + std::string(4096, 'u'))); // 4,097 bytes
    EXPECT_EQ(peer.GameFolder(), "");
    ASSERT_TRUE(peer.SetGameFolder("/srv/uo"));
    // What the program reads from the peer, as frame types in order.
    FrameReader fromPeer(FrameSender::Peer);
    int program = -1;
    auto types = [&] {
        std::vector<FrameType> seen;
        std::vector<Frame> ignored;
        ServeUntil(peer, ignored, [&] { return !peer.WantsWrite(); });
        std::uint8_t buffer[8192];
        ssize_t got;
        while ((got = recv(program, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
            fromPeer.Append({buffer, static_cast<std::size_t>(got)});
        Frame frame;
        while (fromPeer.Next(frame) == FrameReader::Result::Frame) {
            seen.push_back(frame.type);
            if (frame.type == FrameType::GameFolder) {
                EXPECT_EQ(frame.folder, peer.GameFolder());
            }
        }
        return seen;
    };
    auto send = [&](const auto& frame) {
        ASSERT_EQ(write(program, frame.data(), frame.size()), ssize_t(frame.size()));
    };
    for (int connection = 0; connection < 2; ++connection) {
        std::string error;
        ASSERT_EQ(peer.Connect(path, 5, error), HookConnection::ConnectResult::Connected) << error;
        program = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        ASSERT_GE(program, 0);
        fromPeer.Reset();
        send(EncodeWatch(WatchSet()));
        std::vector<Frame> frames;
        ASSERT_TRUE(ServeUntil(peer, frames, [&] { return peer.Attached(); }));
        EXPECT_EQ(types(), std::vector<FrameType>{FrameType::Hello}) << "an older program is never named the folder";
        frames.clear();
        send(EncodeFolderWanted());
        ASSERT_TRUE(ServeUntil(peer, frames, [&] { return peer.WantsWrite(); }));
        EXPECT_TRUE(frames.empty()); // answered, not handed over
        EXPECT_EQ(types(), std::vector<FrameType>{FrameType::GameFolder});
        ASSERT_TRUE(peer.SetGameFolder(connection == 0 ? "/srv/uo2" : "/srv/uo"));
        EXPECT_EQ(types(), std::vector<FrameType>{FrameType::GameFolder}); // a new folder is named at once
        close(program);
    }
    close(listener);
}
