#include "SendBuffer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

// A connected pair of local sockets; the writer's end is non-blocking with a small send buffer.
struct SocketPair {
    SocketPair() {
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0)
            throw std::runtime_error("socketpair");
        const int small = 4096;
        setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    }
    ~SocketPair() {
        for (const int fd : fds)
            if (fd >= 0)
                close(fd);
    }
    std::vector<std::uint8_t> ReadAll() {
        std::vector<std::uint8_t> got;
        std::uint8_t chunk[65536];
        for (ssize_t n; (n = read(fds[1], chunk, sizeof chunk)) > 0;)
            got.insert(got.end(), chunk, chunk + n);
        return got;
    }
    int fds[2] = {-1, -1};
};

std::vector<std::uint8_t> Counting(std::size_t count, std::size_t from) {
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<std::uint8_t>(from + i * 7);
    return bytes;
}

} // namespace

// Bytes go out whole and in order across partial writes; the limit refuses what would not fit, and
// the water marks hold from the high mark down to the low one.
TEST(SendBufferTest, WritesInOrderWithinTheLimitAndTellsTheWaterMarks) {
    SocketPair pair;
    SendBuffer buffer(600'000, 400'000, 100'000);
    std::vector<std::uint8_t> expected;
    const auto append = [&](std::size_t count) {
        const auto head = Counting(count / 2, expected.size());
        const auto tail = Counting(count - count / 2, expected.size() + head.size());
        const bool taken = buffer.Append(head, tail);
        if (taken) {
            expected.insert(expected.end(), head.begin(), head.end());
            expected.insert(expected.end(), tail.begin(), tail.end());
        }
        return taken;
    };
    std::vector<std::uint8_t> received;
    const auto drain = [&] {
        const auto got = pair.ReadAll();
        received.insert(received.end(), got.begin(), got.end());
    };

    ASSERT_TRUE(append(300'000));
    EXPECT_FALSE(buffer.AboveHighWater());
    EXPECT_EQ(buffer.WriteTo(pair.fds[0]), SendBuffer::WriteResult::Pending);
    const std::size_t waiting = buffer.Unsent();
    ASSERT_LT(waiting, 300'000u) << "the socket took some";
    EXPECT_FALSE(append(600'000 - waiting + 1)) << "one byte over the limit";
    EXPECT_EQ(buffer.Unsent(), waiting) << "nothing of it added";
    ASSERT_TRUE(append(600'000 - waiting)) << "exactly the limit";
    EXPECT_TRUE(buffer.AboveHighWater());

    // Read and write in turns until everything is across: above the high mark until down to the low.
    bool wasAbove = true;
    for (int round = 0; round < 10'000 && buffer.Pending(); ++round) {
        drain();
        const auto result = buffer.WriteTo(pair.fds[0]);
        ASSERT_NE(result, SendBuffer::WriteResult::Broken);
        if (buffer.AboveHighWater() != wasAbove) {
            EXPECT_LE(buffer.Unsent(), 100'000u) << "left the high water only down at the low mark";
            wasAbove = false;
        }
        if (round % 3 == 0) {
            ASSERT_TRUE(append(1000)); // more comes in meanwhile, compacting the front
        }
    }
    drain();
    EXPECT_FALSE(buffer.Pending());
    EXPECT_FALSE(buffer.AboveHighWater());
    EXPECT_EQ(received, expected);

    close(pair.fds[1]);
    pair.fds[1] = -1;
    ASSERT_TRUE(append(10));
    EXPECT_EQ(buffer.WriteTo(pair.fds[0]), SendBuffer::WriteResult::Broken) << "no SIGPIPE either";
    EXPECT_EQ(errno, EPIPE);
    buffer.Clear();
    EXPECT_EQ(buffer.Unsent(), 0u);
}
