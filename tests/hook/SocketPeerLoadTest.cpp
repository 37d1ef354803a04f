// The socket stand-in under peers that pipeline, pause, stop reading, reconnect at once or find
// the program out of descriptors, and its three writing threads at once.

#include "SocketTestSupport.h"

#include "HookBridge.h"
#include "PacketHandler.h"

#include <iterator>
#include <sstream>
#include <sys/resource.h>

namespace {

// Event i carries i in its packet; the pump answers it with verdict i, so order shows.
Bytes Numbered(std::uint32_t i) {
    return {0x54, static_cast<std::uint8_t>(i >> 16), static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)};
}

std::uint32_t NumberOf(const Pump::Recorded& event) {
    if (event.packet.size() < 4)
        return 0xFFFFFFFF;
    return (std::uint32_t{event.packet[1]} << 16) | (std::uint32_t{event.packet[2]} << 8) | event.packet[3];
}

double ProcessCpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(all.substr(all.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

class SocketPeerLoadTest : public ::testing::Test {
protected:
    std::unique_ptr<SocketHookLibrary> Open(SocketHookLibrary::Limits limits = {}) {
        std::string error;
        auto library = SocketHookLibrary::Open(m_path, error, limits);
        EXPECT_TRUE(library) << error;
        return library;
    }
    TempDir m_dir;
    std::string m_path = m_dir.Path() + "/hook.sock";
};

} // namespace

TEST_F(SocketPeerLoadTest, PipeliningPeerThatReadsLateGetsEveryVerdictInOrder) {
    constexpr std::uint32_t kEvents = 10'000;
    auto library = Open();
    Pump pump(*library, NumberOf);
    RawPeer peer(m_path);
    ASSERT_TRUE(peer.WaitTaken());
    Bytes burst;
    for (std::uint32_t i = 0; i < kEvents; ++i) {
        const auto frame = EncodeEvent(kPacketFromServer, 0, Numbered(i));
        burst.insert(burst.end(), frame.begin(), frame.end());
    }
    ASSERT_TRUE(peer.Send(burst));
    ASSERT_TRUE(WaitUntil([&] { return pump.Events().size() == kEvents; }));
    // More than the kernel holds, so the program itself keeps some of it through the pause.
    const Bytes big(60'000, 0x42);
    for (int i = 0; i < 30; ++i)
        library->InjectToClient(big.data(), big.size());
    std::this_thread::sleep_for(5s); // the peer is busy elsewhere: well inside the program's patience
    for (std::uint32_t i = 0; i < kEvents; ++i) {
        const auto verdict = peer.ReadFrame();
        ASSERT_TRUE(verdict) << i;
        ASSERT_EQ(verdict->type, FrameType::Verdict);
        ASSERT_EQ(verdict->verdict, i);
    }
    for (int i = 0; i < 30; ++i) {
        const auto inject = peer.ReadFrame();
        ASSERT_TRUE(inject) << i;
        EXPECT_EQ(inject->packet.size(), big.size());
    }
    EXPECT_EQ(library->GetState(), 1);
}

TEST_F(SocketPeerLoadTest, PeerThatNeverReadsIsDroppedAtTheBoundsAndTheNextIsServed) {
    struct Case {
        const char* name;
        SocketHookLibrary::Limits limits;
        const char* reason;
    };
    const Case cases[] = {
        {"stalled", {PeerOutbox::kDefaultMaxUnsent, 300ms}, "took none of"},
        {"too much unread", {std::size_t{1} << 20, std::chrono::hours(1)}, "more than 1048576 bytes unread"},
    };
    const Bytes packet(60'000, 0x41);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto library = Open(c.limits);
        Pump pump(*library, NumberOf);
        RawPeer deaf(m_path);
        ASSERT_TRUE(deaf.WaitTaken());
        // Far more than the kernel's buffers hold: the rest waits in the program, for a while.
        for (int i = 0; i < 40 && library->GetState() == 1; ++i)
            library->InjectToClient(packet.data(), packet.size());
        ASSERT_TRUE(WaitUntil([&] { return library->GetState() == 0; }));
        EXPECT_NE(library->LastDropReason().find(c.reason), std::string::npos) << library->LastDropReason();
        EXPECT_TRUE(deaf.WaitClosed());

        RawPeer next(m_path);
        ASSERT_TRUE(next.WaitTaken());
        ASSERT_TRUE(next.SendEvent(kPacketFromServer, Numbered(77)));
        const auto verdict = next.ReadFrame();
        ASSERT_TRUE(verdict);
        EXPECT_EQ(verdict->verdict, 77u);
    }
}

TEST_F(SocketPeerLoadTest, WritersNeverWaitOnAPeerThatIsNotReading) {
    auto library = Open();
    Pump pump(*library);
    RawPeer slow(m_path);
    ASSERT_TRUE(slow.WaitTaken());
    Bytes packet(60'000, 0);
    constexpr int kInjects = 30;
    constexpr std::uint32_t kRaises = 100;
    // The Play command's calls, on a thread of their own: none of them may wait for the peer.
    auto play = std::async(std::launch::async, [&] {
        for (int i = 0; i < kInjects; ++i) {
            packet[0] = static_cast<std::uint8_t>(i);
            library->InjectToClient(packet.data(), packet.size());
        }
        for (std::uint32_t i = 0; i < kRaises; ++i)
            library->RaiseWindow(i);
    });
    ASSERT_EQ(play.wait_for(kHangGuard), std::future_status::ready);
    EXPECT_EQ(library->GetState(), 1);
    for (int i = 0; i < kInjects; ++i) {
        const auto frame = slow.ReadFrame();
        ASSERT_TRUE(frame) << i;
        ASSERT_EQ(frame->type, FrameType::Inject);
        ASSERT_EQ(frame->packet.size(), packet.size());
        EXPECT_EQ(frame->packet[0], i);
    }
    for (std::uint32_t i = 0; i < kRaises; ++i) {
        const auto frame = slow.ReadFrame();
        ASSERT_TRUE(frame) << i;
        ASSERT_EQ(frame->type, FrameType::Raise);
        EXPECT_EQ(frame->window, i);
    }
}

TEST_F(SocketPeerLoadTest, PeerThatReconnectsAtOnceIsTakenEveryTime) {
    auto library = Open();
    Pump pump(*library);
    Bytes unread;
    for (std::uint32_t i = 0; i < 20; ++i) {
        const auto frame = EncodeEvent(kPacketFromServer, 0, Numbered(i));
        unread.insert(unread.end(), frame.begin(), frame.end());
    }
    for (int attempt = 0; attempt < 1000; ++attempt) {
        RawPeer peer(m_path);
        ASSERT_TRUE(peer.WaitTaken()) << "attempt " << attempt;
        // Leaves with events the program has not read yet; the next one comes at once.
        ASSERT_TRUE(peer.SendHello(static_cast<std::uint32_t>(attempt)) && peer.Send(unread));
    }
    RawPeer last(m_path);
    ASSERT_TRUE(last.WaitTaken());
    ASSERT_TRUE(last.SendEvent(kPacketFromServer, Numbered(5)));
    const auto verdict = last.ReadFrame();
    ASSERT_TRUE(verdict);
    EXPECT_EQ(verdict->verdict, 0u);
}

TEST_F(SocketPeerLoadTest, WatchFrameFollowsTheHandlerTable) {
    auto library = Open();
    PacketHandlerTable handlers;
    handlers.SetWatchListener(library.get());
    Pump pump(*library);
    struct Observer final : PacketHandler {
        void HandlePacket(HookBridge&) override {}
    } observer;
    auto watching = [](std::initializer_list<std::uint8_t> ids) {
        WatchSet set;
        for (auto id : ids)
            set.Add(id);
        return set;
    };

    RawPeer peer(m_path);
    ASSERT_TRUE(peer.WaitTaken());
    EXPECT_EQ(*peer.Watched(), WatchSet()); // before the dialog: nothing
    // The dialog's start, then its end.
    handlers.Install(0x54, observer);
    handlers.Install(0x20, observer);
    handlers.Install(0x20, observer); // no change: no frame
    handlers.Uninstall(0x54);
    handlers.Uninstall(0x20);
    const WatchSet expected[] = {watching({0x54}), watching({0x20, 0x54}), watching({0x20}), WatchSet()};
    for (const auto& set : expected) {
        const auto frame = peer.ReadFrame(true);
        ASSERT_TRUE(frame);
        ASSERT_EQ(frame->type, FrameType::Watch);
        EXPECT_EQ(frame->watch, set);
    }

    // A peer that comes later learns the set first thing.
    handlers.Install(0x54, observer);
    peer.Close();
    RawPeer later(m_path);
    ASSERT_TRUE(later.WaitTaken());
    EXPECT_EQ(*later.Watched(), watching({0x54}));
    handlers.Uninstall(0x54);
}

TEST_F(SocketPeerLoadTest, OutOfDescriptorsTheProgramBacksOffAndServesItsPeer) {
    int ready[2], command[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(command), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The program, in a process whose descriptors can run out without harming the tests.
        std::string error;
        auto library = SocketHookLibrary::Open(m_path, error);
        if (!library)
            _exit(3);
        Pump pump(*library, NumberOf);
        char byte = 'r';
        [[maybe_unused]] ssize_t ignored = write(ready[1], &byte, 1);
        ignored = read(command[0], &byte, 1);
        const rlimit few{64, 64};
        setrlimit(RLIMIT_NOFILE, &few);
        while (open("/dev/null", O_RDONLY | O_CLOEXEC) >= 0) {
        }
        ignored = write(ready[1], &byte, 1);
        ignored = read(command[0], &byte, 1);
        _exit(0);
    }
    auto signal = [&](char byte) { return write(command[1], &byte, 1) == 1; };
    auto await = [&] {
        char byte = 0;
        pollfd fd{ready[0], POLLIN, 0};
        return poll(&fd, 1, static_cast<int>(std::chrono::milliseconds(kHangGuard).count())) == 1 &&
               read(ready[0], &byte, 1) == 1;
    };
    ASSERT_TRUE(await());
    RawPeer attached(m_path);
    ASSERT_TRUE(attached.WaitTaken());
    ASSERT_TRUE(signal('f') && await());

    RawPeer waiting(m_path); // queued by the kernel; the program cannot accept it
    const double before = ProcessCpuSeconds(child);
    std::this_thread::sleep_for(1s);
    const double used = ProcessCpuSeconds(child) - before;
    // Spinning on accept would take the whole second; backing off takes next to nothing.
    EXPECT_LT(used, 0.3) << used << " s of CPU in 1 s";
    ASSERT_TRUE(attached.SendEvent(kPacketFromServer, Numbered(9)));
    const auto verdict = attached.ReadFrame();
    ASSERT_TRUE(verdict);
    EXPECT_EQ(verdict->verdict, 9u);

    signal('e');
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    for (int fd : {ready[0], ready[1], command[0], command[1]})
        close(fd);
}

TEST_F(SocketPeerLoadTest, ThreeWritersShareThePeerWithoutMixingFrames) {
    constexpr std::uint32_t kEvents = 3000;
    constexpr std::uint32_t kRaises = 300;
    constexpr std::uint32_t kInjects = 300;
    auto library = Open();
    PacketHandlerTable handlers;
    handlers.SetWatchListener(library.get());
    struct Numbering final : PacketHandler {
        void HandlePacket(HookBridge& bridge) override {
            bridge.verdict = (std::uint32_t{bridge.currentPacket[1]} << 16) |
                             (std::uint32_t{bridge.currentPacket[2]} << 8) | bridge.currentPacket[3];
        }
    } numbering;
    handlers.Install(0x54, numbering);
    HookBridge bridge(*library, handlers); // pump: verdicts; injection thread: INJECT
    bridge.Start();
    RawPeer peer(m_path);
    ASSERT_TRUE(peer.WaitTaken());

    std::thread events([&] {
        for (std::uint32_t i = 0; i < kEvents; ++i)
            peer.SendEvent(kPacketFromServer, Numbered(i));
    });
    std::thread injections([&] {
        for (std::uint32_t i = 0; i < kInjects; ++i) {
            const Bytes packet = Numbered(i);
            bridge.QueuePacket(packet.data(), packet.size());
        }
    });
    // This thread is the UI: raises, and the watched set changing under the pump's feet.
    for (std::uint32_t i = 0; i < kRaises; ++i) {
        library->RaiseWindow(i);
        if (i % 50 == 0)
            handlers.Install(0x20, numbering);
        else if (i % 50 == 25)
            handlers.Uninstall(0x20);
    }
    events.join();
    injections.join();

    std::uint32_t verdicts = 0, raises = 0, injects = 0;
    while (verdicts < kEvents || raises < kRaises || injects < kInjects) {
        const auto frame = peer.ReadFrame();
        ASSERT_TRUE(frame) << verdicts << " " << raises << " " << injects;
        switch (frame->type) {
        case FrameType::Verdict:
            ASSERT_EQ(frame->verdict, verdicts++);
            break;
        case FrameType::Raise:
            ASSERT_EQ(frame->window, raises++);
            break;
        case FrameType::Inject:
            ASSERT_EQ(Bytes(frame->packet.begin(), frame->packet.end()), Numbered(injects++));
            break;
        default:
            FAIL() << "frame type " << static_cast<int>(frame->type);
        }
    }
    bridge.Stop();
    handlers.SetWatchListener(nullptr);
}
