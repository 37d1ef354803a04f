// The peers' end of the hook socket against Kestrune's side of it.

#include "GamePacket.h"
#include "HookConnection.h"
#include "ProgramSide.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <poll.h>
#include <string>
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

    const std::vector<std::vector<std::uint8_t>> packets = {
        PlayerPacket(10, 20, -3), SoundPacket(0x01F4, 0, 0, 0), SoundPacket(0x0002, 0, 0, 0)};
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
