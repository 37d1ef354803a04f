// kestrune-relay under unlucky and hostile conditions: openings in pieces, no descriptors left, a
// display that never answers, a program that floods it, redirects back to itself, mis-sized
// packets, and the world-entry burst. Loopback only; every wait ends by itself.

#include "GamePacket.h"
#include "RelayHarness.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <random>
#include <sstream>
#include <sys/resource.h>
#include <sys/un.h>
#include <sys/wait.h>

using namespace relaytest;

namespace {

constexpr std::uint32_t kKey = 0x4B455354;
const Bytes kKeyBytes = {kKey >> 24, (kKey >> 16) & 0xFF, (kKey >> 8) & 0xFF, kKey & 0xFF};
const Bytes kRawSeed = {127, 0, 0, 1};

Bytes Login80() {
    return PlainLogin(0x80, "wanderer", "hunter2-secret");
}
Bytes Login91() {
    return PlainLogin(0x91, "wanderer", "hunter2-secret", kKey);
}
Bytes SeedPacket() {
    Bytes seed(21, 0);
    seed[0] = 0xEF;
    PokeBe16(seed, 7, 7);
    PokeBe16(seed, 15, 104);
    return seed;
}

struct Shard {
    TempFolder folder;
    Listener login, game;
    std::string hookPath = folder.Path() + "/hook.sock";
    RelayOptions Options() {
        RelayOptions options;
        options.shardHost = "127.0.0.1";
        options.shardPort = login.Port();
        options.hookSocket = hookPath;
        return options;
    }
    Game Enter(RelayRunner& relay) {
        return EnterGame(relay, login, game, Join({kRawSeed, Login80()}), Join({kKeyBytes, Login91()}));
    }
};

// Kestrune's end of the socket, frame by frame, so a test can hold verdicts back or flood the peer.
class RawProgram {
public:
    RawProgram(const std::string& path, const WatchSet& watched) : m_reader(FrameSender::Peer) {
        m_listen = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size());
        if (bind(m_listen, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            listen(m_listen, 2) != 0)
            Fail("cannot listen at " + path);
        pollfd ready{m_listen, POLLIN, 0};
        if (poll(&ready, 1, 15000) != 1)
            Fail("the relay did not connect");
        m_fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        timeval timeout{15, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        Write(EncodeWatch(watched));
    }
    ~RawProgram() {
        close(m_fd);
        close(m_listen);
    }
    int Fd() const { return m_fd; }
    void Write(std::span<const std::uint8_t> bytes) {
        while (!bytes.empty()) {
            const ssize_t sent = send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent <= 0)
                Fail("cannot write to the relay");
            bytes = bytes.subspan(static_cast<std::size_t>(sent));
        }
    }
    // The next EVENT's packet (HELLOs are skipped).
    Bytes NextEvent() {
        for (;;) {
            Frame frame;
            const auto result = m_reader.Next(frame);
            if (result == FrameReader::Result::Error)
                Fail("bad frame from the relay: " + m_reader.Error());
            if (result == FrameReader::Result::Frame) {
                if (frame.type == FrameType::Event)
                    return {frame.packet.begin(), frame.packet.end()};
                continue;
            }
            const auto space = m_reader.WritableSpace();
            const ssize_t got = recv(m_fd, space.data(), space.size(), 0);
            if (got <= 0)
                Fail("no event from the relay");
            m_reader.Commit(static_cast<std::size_t>(got));
        }
    }

private:
    int m_listen = -1;
    int m_fd = -1;
    FrameReader m_reader;
};

WatchSet Watching(std::initializer_list<std::uint8_t> ids) {
    WatchSet watched;
    for (const auto id : ids)
        watched.Add(id);
    return watched;
}

// The server's stream as the client decodes it, until `count` bytes or the end of the stream.
Bytes Decoded(Socket& client, std::size_t count) {
    HuffmanDecompressor decompressor;
    Bytes plain;
    while (plain.size() < count) {
        const Bytes some = client.ReceiveSome();
        if (some.empty())
            break;
        decompressor.Feed(some, plain);
    }
    return plain;
}

} // namespace

// Real clients write their opening in pieces; each split must read as the plain login it is.
TEST(RelayHostileTest, OpeningsInPiecesAreReadAsOne) {
    Shard shard;
    RelayRunner relay(shard.Options());
    Game first = shard.Enter(relay); // the relay now knows the key
    struct Case {
        const char* name;
        Bytes bytes;
        bool game;       // goes to the game server
        bool atGamePort; // else the login port
    };
    const Case cases[] = {
        {"raw seed and 0x80", Join({kRawSeed, Login80()}), false, false},
        {"0xEF seed and 0x80", Join({SeedPacket(), Login80()}), false, false},
        {"key and 0x91", Join({kKeyBytes, Login91()}), true, true},
        {"key and 0x91 at the login port", Join({kKeyBytes, Login91()}), true, false},
    };
    for (const auto& c : cases) {
        // Split points 1 .. n-1 in two pieces, then one byte at a time (split 0).
        for (std::size_t split = 0; split < c.bytes.size(); ++split) {
            SCOPED_TRACE(std::string(c.name) + ", split at " + std::to_string(split));
            Socket client = Socket::Connect(c.atGamePort ? relay.GamePort() : relay.LoginPort());
            const std::size_t piece = split == 0 ? 1 : split;
            for (std::size_t at = 0; at < c.bytes.size();) {
                const std::size_t size = at == 0 || split == 0 ? piece : c.bytes.size() - at;
                client.Send(std::span(c.bytes).subspan(at, std::min(size, c.bytes.size() - at)));
                at += size;
                std::this_thread::sleep_for(1ms); // separate reads at the relay
            }
            Socket server = (c.game ? shard.game : shard.login).Accept();
            ASSERT_EQ(server.ReceiveExactly(c.bytes.size()), c.bytes);
        }
    }
    for (const auto& line : relay.Lines())
        EXPECT_EQ(line.find("encrypts"), std::string::npos) << line;
}

namespace {

double ProcessCpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string skip;
    for (int k = 0; k < 11; ++k)
        fields >> skip;
    double user = 0, system = 0;
    fields >> user >> system;
    return (user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

} // namespace

TEST(RelayHostileTest, OutOfDescriptorsItBacksOffAndClosesSilentOpenings) {
    Shard shard;
    const std::string logPath = shard.folder.Path() + "/log";
    int toChild[2], fromChild[2];
    ASSERT_EQ(pipe(toChild), 0);
    ASSERT_EQ(pipe(fromChild), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The relay, in a process whose descriptors can run out without harming the tests.
        RelayOptions options = shard.Options();
        options.openingTimeout = 300ms;
        FILE* log = std::fopen(logPath.c_str(), "w");
        std::string error;
        auto relay = Relay::Open(
            options,
            [log](const std::string& line) {
                std::fprintf(log, "%s\n", line.c_str());
                std::fflush(log);
            },
            error);
        if (!relay)
            _exit(3);
        const std::uint16_t port = relay->LoginPort();
        [[maybe_unused]] ssize_t ignored = write(fromChild[1], &port, sizeof port);
        std::uint32_t turns = 0; // of the loop, once out of descriptors
        for (;;) {
            relay->RunOnce(50ms);
            turns += turns > 0;
            pollfd command{toChild[0], POLLIN, 0};
            if (poll(&command, 1, 0) != 1)
                continue;
            char byte = 0;
            ignored = read(toChild[0], &byte, 1);
            if (byte != 'f') {
                ignored = write(fromChild[1], &turns, sizeof turns);
                _exit(0);
            }
            turns = 1;
            relay->RunOnce(0ms); // takes the connection made before the command
            const int lowest = open("/dev/null", O_RDONLY | O_CLOEXEC);
            close(lowest);
            const rlimit few{static_cast<rlim_t>(lowest + 16), static_cast<rlim_t>(lowest + 16)};
            setrlimit(RLIMIT_NOFILE, &few);
            while (open("/dev/null", O_RDONLY | O_CLOEXEC) >= 0) {
            }
            ignored = write(fromChild[1], &byte, 1);
        }
    }
    auto await = [&](void* into, std::size_t size) {
        pollfd ready{fromChild[0], POLLIN, 0};
        return poll(&ready, 1, 15000) == 1 && read(fromChild[0], into, size) == static_cast<ssize_t>(size);
    };
    std::uint16_t port = 0;
    ASSERT_TRUE(await(&port, sizeof port));
    Socket silent = Socket::Connect(port); // taken, then says nothing
    char byte = 'f';
    ASSERT_EQ(write(toChild[1], &byte, 1), 1);
    ASSERT_TRUE(await(&byte, 1));
    // They wait in the kernel: each is taken only when a silent one's descriptor is freed.
    std::vector<Socket> queued;
    for (int k = 0; k < 6; ++k)
        queued.push_back(Socket::Connect(port));

    const double before = ProcessCpuSeconds(child);
    std::this_thread::sleep_for(1s);
    const double used = ProcessCpuSeconds(child) - before;
    // Spinning on accept would take the whole second; backing off takes next to nothing.
    EXPECT_LT(used, 0.3) << used << " s of CPU in 1 s";
    EXPECT_TRUE(silent.AtEnd()) << "an opening that says nothing is closed";
    EXPECT_TRUE(queued[0].AtEnd()) << "its descriptor went to a waiting connection, closed in turn";

    byte = 'e';
    ASSERT_EQ(write(toChild[1], &byte, 1), 1);
    std::uint32_t turns = 0;
    ASSERT_TRUE(await(&turns, sizeof turns));
    // A loop that waits does a few turns a second; one that spins, thousands (however loaded the machine).
    EXPECT_LT(turns, 200u);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    for (int fd : {toChild[0], toChild[1], fromChild[0], fromChild[1]})
        close(fd);
    std::ifstream log(logPath);
    std::size_t told = 0;
    for (std::string line; std::getline(log, line);)
        told += line.find("cannot accept new connections") != std::string::npos;
    EXPECT_EQ(told, 1u) << "said once, not at every attempt";
}

namespace {

// An X display that takes connections and never answers: DISPLAY=127.0.0.1:N, port 6000 + N.
class StuckDisplay {
public:
    StuckDisplay() {
        for (int number = 60; number < 100 && m_fd < 0; ++number) {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(static_cast<std::uint16_t>(6000 + number));
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 && listen(fd, 8) == 0) {
                m_fd = fd;
                m_name = "127.0.0.1:" + std::to_string(number);
            } else {
                close(fd);
            }
        }
        if (const char* old = std::getenv("DISPLAY"))
            m_old = old;
        if (m_fd >= 0)
            setenv("DISPLAY", m_name.c_str(), 1);
    }
    ~StuckDisplay() {
        // Closing it ends the relay's worker, still waiting for the display's first answer.
        m_old.empty() ? unsetenv("DISPLAY") : setenv("DISPLAY", m_old.c_str(), 1);
        if (m_fd >= 0)
            close(m_fd);
    }
    bool Ready() const { return m_fd >= 0; }

private:
    int m_fd = -1;
    std::string m_name;
    std::string m_old;
};

} // namespace

TEST(RelayHostileTest, GameTrafficNeverWaitsOnAStuckDisplay) {
    StuckDisplay display;
    if (!display.Ready())
        GTEST_SKIP() << "no free port for a display";
    Shard shard;
    RelayOptions options = shard.Options();
    options.hookRetry = 100ms;
    RelayRunner relay(options);
    RawProgram program(shard.hookPath, Watching({kSoundPacketId}));
    ASSERT_TRUE(relay.WaitFor("attached to Kestrune"));
    Game session = shard.Enter(relay);
    const Bytes enter = Compressed(Join({{0x1B}, Bytes(36, 0)}));
    session.server.Send(enter);
    ASSERT_EQ(session.client.ReceiveExactly(enter.size()), enter);
    ASSERT_TRUE(relay.WaitFor("in the world")); // asks the display for the window: no answer comes
    for (int k = 0; k < 3000; ++k)
        program.Write(EncodeRaise(1));
    const Bytes sound = SoundPacket(0x0123, 1, 2, 3), ping = {0x73, 0x01};
    session.server.Send(Join({Compressed(ping), Compressed(sound), Compressed(ping)}));
    EXPECT_EQ(program.NextEvent(), sound);
    program.Write(EncodeVerdict(0));
    const Bytes expected = Join({Compressed(ping), Compressed(sound), Compressed(ping)});
    EXPECT_EQ(session.client.ReceiveExactly(expected.size()), expected);
}

TEST(RelayHostileTest, InjectionsTowardAClientThatDoesNotReadAreHeldToTheWaterMarks) {
    Shard shard;
    RelayOptions options = shard.Options();
    options.hookRetry = 100ms;
    RelayRunner relay(options);
    RawProgram program(shard.hookPath, WatchSet());
    ASSERT_TRUE(relay.WaitFor("attached to Kestrune"));
    Game session = shard.Enter(relay); // its client reads nothing from here on
    // Without a bound the kernel would take tens of MB for it (autotuned buffers): that is not the relay's.
    const int small = 64 << 10;
    setsockopt(session.client.Fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    std::mt19937 random(17);
    Bytes message(60000);
    for (auto& byte : message)
        byte = static_cast<std::uint8_t>(random());
    message[0] = 0xAE;
    PokeBe16(message, 1, static_cast<std::uint16_t>(message.size()));
    const Bytes frame = EncodeInject(0, message);
    std::size_t written = 0;
    while (written < std::size_t{48} << 20) {
        pollfd fd{program.Fd(), POLLOUT, 0};
        if (poll(&fd, 1, 2000) <= 0)
            break; // the relay has stopped reading
        const std::size_t at = written % frame.size();
        const ssize_t count = send(program.Fd(), frame.data() + at, frame.size() - at, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (count < 0 && errno == EAGAIN) {
            std::this_thread::sleep_for(1ms); // writable, but not for this much yet
            continue;
        }
        ASSERT_GT(count, 0) << std::strerror(errno);
        written += static_cast<std::size_t>(count);
    }
    EXPECT_LT(written, std::size_t{16} << 20) << "the relay went on taking packets for a client that does not read";
}

TEST(RelayHostileTest, ARedirectToTheRelayItselfIsRefused) {
    for (const bool toGamePort : {false, true}) {
        SCOPED_TRACE(toGamePort ? "its game port" : "its login port");
        Shard shard;
        RelayRunner relay(shard.Options());
        Socket client = Socket::Connect(relay.LoginPort());
        client.Send(Join({kRawSeed, Login80()}));
        Socket login = shard.login.Accept();
        ASSERT_EQ(login.ReceiveExactly(66).size(), 66u);
        Bytes redirect = Join({{0x8C, 127, 0, 0, 1, 0, 0}, kKeyBytes});
        PokeBe16(redirect, 5, toGamePort ? relay.GamePort() : relay.LoginPort());
        login.Send(redirect);
        ASSERT_EQ(client.ReceiveExactly(11).size(), 11u);
        EXPECT_TRUE(relay.WaitFor("which is this relay itself; refused"));
        // The key was not taken: the client's next hop ends there.
        Socket hop = Socket::Connect(relay.GamePort());
        hop.Send(Join({kKeyBytes, Login91()}));
        EXPECT_TRUE(hop.AtEnd());
        EXPECT_TRUE(relay.WaitFor("a key this relay did not hand out"));
    }
}

// An old client's 3-byte 0xB9 read as the current 5 bytes: the cutter then reads a 0x1A of
// 65,280 bytes out of the following 0x54, and would wait for it. On the login connection too.
TEST(RelayHostileTest, BytesHeldByAMisSizedPacketReachTheClient) {
    const std::vector<Bytes> packets = {
        {0xB9, 0x80, 0x1F}, SoundPacket(0x1AFF, 1234, 567, 8), Join({{0x1A, 0x00, 0x10}, Bytes(13, 7)}), {0x55}};
    struct Case {
        bool game;
        bool serverCloses;
        const char* line;
    };
    const Case cases[] = {
        {true, true, "the stream ended inside packet 0x1a"},
        {true, false, "packet 0x1a stayed incomplete for a second"},
        {false, true, "the stream ended inside a packet"},
        {false, false, "a packet stayed incomplete for a second"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.game ? "game" : "login") + (c.serverCloses ? ", the server closes" : ", quiet"));
        Shard shard;
        RelayRunner relay(shard.Options());
        Bytes plain, stream;
        for (const auto& packet : packets) {
            plain.insert(plain.end(), packet.begin(), packet.end());
            const Bytes compressed = Compressed(packet);
            stream.insert(stream.end(), compressed.begin(), compressed.end());
        }
        Game session;
        if (c.game) {
            session = shard.Enter(relay);
        } else {
            session.client = Socket::Connect(relay.LoginPort());
            session.client.Send(Join({kRawSeed, Login80()}));
            session.server = shard.login.Accept();
            ASSERT_EQ(session.server.ReceiveExactly(66).size(), 66u);
        }
        session.server.Send(c.game ? stream : plain);
        if (c.serverCloses)
            session.server.Close();
        EXPECT_EQ(c.game ? Decoded(session.client, plain.size()) : session.client.ReceiveExactly(plain.size()), plain);
        if (c.serverCloses) {
            EXPECT_TRUE(session.client.AtEnd());
        }
        EXPECT_TRUE(relay.WaitFor(c.line));
    }
}

// Entering the world: a burst of packets, two 0x20 and two 0x54 among them. All four are asked
// about before any answer, and the client gets the burst in order (less the blocked sound).
TEST(RelayHostileTest, TheWorldEntryBurstIsAskedAboutAllAtOnce) {
    Shard shard;
    RelayOptions options = shard.Options();
    options.hookRetry = 100ms;
    RelayRunner relay(options);
    RawProgram program(shard.hookPath, Watching({kPlayerPacketId, kSoundPacketId}));
    ASSERT_TRUE(relay.WaitFor("attached to Kestrune"));
    Game session = shard.Enter(relay);
    std::vector<Bytes> burst;
    for (std::uint8_t k = 0; k < 120; ++k) {
        if (k == 10 || k == 70)
            burst.push_back(PlayerPacket(1000 + k, 1000, 0));
        else if (k == 30 || k == 90)
            burst.push_back(SoundPacket(0x0100 + k, 1000, 1000, 0));
        else
            burst.push_back({0x1D, 0x40, 0x00, 0x00, k});
    }
    Bytes stream, expected;
    for (const auto& packet : burst) {
        const Bytes compressed = Compressed(packet);
        stream.insert(stream.end(), compressed.begin(), compressed.end());
        if (packet != burst[30])
            expected.insert(expected.end(), compressed.begin(), compressed.end());
    }
    session.server.Send(stream);
    for (const std::size_t k : std::initializer_list<std::size_t>{10, 30, 70, 90})
        EXPECT_EQ(program.NextEvent(), burst[k]) << "event for packet " << k << " before any verdict";
    for (const std::uint32_t verdict : std::initializer_list<std::uint32_t>{0, 1, 0, 0})
        program.Write(EncodeVerdict(verdict));
    EXPECT_EQ(session.client.ReceiveExactly(expected.size()), expected);
}
