// The socket stand-in of the hook library, driven by kestrune-sim (the real peer) and by raw test
// sockets for what a well-behaved peer never sends. Every wait is on a condition; the time limits
// only guard against hangs.

#include "SocketTestSupport.h"

#include "HookBridge.h"
#include "PacketHandler.h"
#include "PlayCommand.h"
#include "PlayerPosition.h"

TEST_F(SocketHookLibraryTest, SimGetsEveryVerdictInOrder) {
    Pump pump(*m_library, [](const Pump::Recorded& event) -> std::uint32_t {
        if (event.code == 7)
            return 5;
        return event.packet.size() >= 4 && event.packet[0] == 0x54 && event.packet[3] == 0xF4 ? 1 : 0;
    });
    SimProcess sim(m_path,
                   Script("player 1234 567 8\nsound 1f4\n# comment\n\nsound 3a\nraw 1425 20 0102\nraw 7\n"
                          "player 65535 0 -1\nsound 0x1F4\n"),
                   {});
    ExpectLines(sim, {"passed player at 1234,567,8", "blocked sound 0x01f4 at 1234,567,8",
                      "passed sound 0x003a at 1234,567,8", "passed event 1425: packet 20 01 02 (3 bytes)",
                      "verdict 5 event 7: empty packet", "passed player at 65535,0,-1",
                      "blocked sound 0x01f4 at 65535,0,-1"});
    EXPECT_EQ(sim.Finish(false), 0) << sim.Stderr();

    const auto events = pump.Events();
    ASSERT_EQ(events.size(), 7u);
    EXPECT_EQ(events[0].code, kPacketFromServer);
    ASSERT_EQ(events[0].packet.size(), 19u);
    EXPECT_EQ(events[0].packet[0], 0x20);
    EXPECT_EQ(Bytes(events[0].packet.begin() + 11, events[0].packet.begin() + 15), (Bytes{0x04, 0xD2, 0x02, 0x37}));
    EXPECT_EQ(events[0].packet[18], 8);
    EXPECT_EQ(events[1].packet, SoundPacket(0x1F4, 1234, 567, 8));
    EXPECT_EQ(events[3].code, kPacketFromClient);
    EXPECT_EQ(events[3].packet, (Bytes{0x20, 0x01, 0x02}));
    EXPECT_EQ(events[4].code, 7);
    EXPECT_TRUE(events[4].packet.empty());
}

TEST_F(SocketHookLibraryTest, InjectionsAndRaisesReachTheSimDecoded) {
    Pump pump(*m_library);
    SimProcess sim(m_path, Script(""), {"--stay"});
    ASSERT_TRUE(Attached(kSimWindow)) << sim.Stderr();

    m_library->RaiseWindow(m_library->GetClientWindow());
    const auto message = SystemMessage(u"Play Sound No.0x3a");
    m_library->InjectToClient(message.data(), message.size());
    const auto quoted = SystemMessage(u"\u518D\u751F \"x\"\\\n"); // 再生, then characters that need escaping
    m_library->InjectToClient(quoted.data(), quoted.size());
    const auto sound = SoundPacket(0x3A, 1, 2, 0xFB);
    m_library->InjectToClient(sound.data(), sound.size());
    const Bytes toServer = {0x22, 0x01, 0x00};
    m_library->InjectToServer(toServer.data(), toServer.size());
    const Bytes tooLong(kMaxInjectPacket + 1, 0x54);
    m_library->InjectToClient(tooLong.data(), tooLong.size()); // dropped
    const Bytes largest(kMaxInjectPacket, 0x33);
    m_library->InjectToClient(largest.data(), largest.size());
    m_library->InjectToClient(nullptr, 0);
    const auto astral = SystemMessage(u"\U0001F3B5\xD800x"); // a surrogate pair, then a lone surrogate
    m_library->InjectToClient(astral.data(), astral.size());
    const auto whole = SystemMessage(u"cut");
    const Bytes truncated(whole.begin(), whole.begin() + 20); // too short for its text: shown as bytes
    m_library->InjectToClient(truncated.data(), truncated.size());

    ExpectLines(sim,
                {"raise window 0x00c0ffee", "inject to client: message \"Play Sound No.0x3a\"",
                 "inject to client: message \"再生 \\\"x\\\"\\\\\\n\"", "inject to client: sound 0x003a at 1,2,-5",
                 "inject to server: packet 22 01 00 (3 bytes)",
                 "inject to client: packet 33 33 33 33 33 33 33 33 33 33 33 33 33 33 33 33 33 33 33 33 33 33 33 33 "
                 "33 33 33 33 33 33 33 33 ... (65535 bytes)",
                 "inject to client: empty packet", "inject to client: message \"\U0001F3B5\uFFFDx\"",
                 "inject to client: packet ae 00 3a" + Zeros(17) + " (20 bytes)"});
    EXPECT_EQ(sim.Finish(true), 0) << sim.Stderr();
}

TEST_F(SocketHookLibraryTest, PlayCommandThroughTheBridgeReachesTheSim) {
    PacketHandlerTable handlers;
    PlayerPosition position;
    position.Store({1234, 567, 8});
    HookBridge bridge(*m_library, handlers);
    bridge.Start();
    SimProcess sim(m_path, Script("sound 1f4\n"), {"--stay"});
    ExpectLines(sim, {"passed sound 0x01f4 at 0,0,0"});
    ASSERT_EQ(m_library->GetClientWindow(), kSimWindow);
    ASSERT_TRUE(RunPlayCommand(bridge, *m_library, position, "3a"));
    ExpectLines(sim, {"raise window 0x00c0ffee", "inject to client: message \"Play Sound No.0x3a\"",
                      "inject to client: sound 0x003a at 1234,567,8"});
    bridge.Stop();
    EXPECT_EQ(sim.Finish(true), 0);
}

TEST_F(SocketHookLibraryTest, ClientWindowIsTheHelloIdWhileAPeerIsAttached) {
    struct Case {
        std::vector<std::string> options;
        std::uint32_t window;
    };
    const Case cases[] = {
        {{}, kSimWindow}, {{"--window", "0x1234"}, 0x1234}, {{"--window", "77"}, 77}, {{"--no-window"}, 0}};
    Pump pump(*m_library);
    EXPECT_EQ(m_library->GetClientWindow(), 0u);
    for (const auto& c : cases) {
        auto options = c.options;
        options.push_back("--stay");
        SimProcess sim(m_path, Script(""), options);
        EXPECT_TRUE(Attached(c.window)) << c.window;
        EXPECT_EQ(sim.Finish(true), 0);
        EXPECT_TRUE(Detached()) << c.window;
    }

    RawPeer peer(m_path); // a later HELLO changes the id
    ASSERT_TRUE(peer.SendHello(5));
    EXPECT_TRUE(Attached(5));
    ASSERT_TRUE(peer.SendHello(9));
    EXPECT_TRUE(Attached(9));
}

TEST_F(SocketHookLibraryTest, PeerLeavingMidEventLeavesTheProgramWorking) {
    HookLibrary::Event event;
    {
        RawPeer leaving(m_path);
        ASSERT_TRUE(leaving.SendHello(1) && leaving.SendEvent(kPacketFromServer, SoundPacket(1, 0, 0, 0)));
        ASSERT_TRUE(NextEvent(event));
        EXPECT_EQ(Bytes(event.packet, event.packet + event.length), SoundPacket(1, 0, 0, 0));
    }
    // A next peer connects before the verdict for the vanished one is given.
    RawPeer next(m_path);
    ASSERT_TRUE(next.SendHello(2) && next.SendEvent(kPacketFromServer, SoundPacket(2, 0, 0, 0)));
    m_library->SetVerdict(7); // for the vanished peer: goes nowhere
    ASSERT_TRUE(NextEvent(event));
    EXPECT_EQ(Bytes(event.packet, event.packet + event.length), SoundPacket(2, 0, 0, 0));
    EXPECT_EQ(m_library->GetClientWindow(), 2u);
    m_library->SetVerdict(0);
    const auto verdict = next.ReadFrame();
    ASSERT_TRUE(verdict);
    EXPECT_EQ(verdict->type, FrameType::Verdict);
    EXPECT_EQ(verdict->verdict, 0u);
}

TEST_F(SocketHookLibraryTest, VerdictForAReplacedPeerNeverReachesTheNextOne) {
    HookLibrary::Event event;
    auto first = std::make_unique<RawPeer>(m_path);
    ASSERT_TRUE(first->SendHello(1) && first->SendEvent(kPacketFromServer, SoundPacket(1, 0, 0, 0)));
    ASSERT_TRUE(NextEvent(event));
    first.reset();
    RawPeer second(m_path);
    ASSERT_TRUE(second.SendHello(2));
    // The pump polls again before answering: the first peer is dropped, the second attached.
    {
        PeriodicWake waking(*m_library);
        ASSERT_TRUE(WaitUntil([&] { return !m_library->GetEvent(event) && m_library->GetClientWindow() == 2; }));
    }
    m_library->SetVerdict(7);
    ASSERT_TRUE(second.SendEvent(kPacketFromServer, SoundPacket(2, 0, 0, 0)));
    ASSERT_TRUE(NextEvent(event));
    m_library->SetVerdict(0);
    const auto verdict = second.ReadFrame();
    ASSERT_TRUE(verdict);
    EXPECT_EQ(verdict->verdict, 0u);
}

TEST_F(SocketHookLibraryTest, SecondPeerIsClosedAtOnceWhileTheFirstWorksOn) {
    Pump pump(*m_library, [](const Pump::Recorded&) { return 1u; });
    RawPeer first(m_path);
    ASSERT_TRUE(first.SendHello(0x11));
    ASSERT_TRUE(Attached(0x11));

    RawPeer second(m_path);
    ASSERT_TRUE(second.Connected());
    second.SendHello(0x22);
    EXPECT_TRUE(second.WaitClosed());
    EXPECT_EQ(m_library->GetClientWindow(), 0x11u);

    ASSERT_TRUE(first.SendEvent(kPacketFromServer, SoundPacket(3, 0, 0, 0)));
    const auto verdict = first.ReadFrame();
    ASSERT_TRUE(verdict);
    EXPECT_EQ(verdict->verdict, 1u);
}

TEST_F(SocketHookLibraryTest, RefusedSimSaysSoOnceAndComesInWhenThePlaceIsFree) {
    Pump pump(*m_library);
    auto first = std::make_unique<RawPeer>(m_path);
    ASSERT_TRUE(first->SendHello(0x11) && first->WaitTaken());
    SimProcess sim(m_path, Script(""), {"--stay"});
    // Refused, then retried every second: a few tries, one message.
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(m_library->GetClientWindow(), 0x11u);
    first.reset();
    EXPECT_TRUE(Attached(kSimWindow)) << sim.Stderr();
    EXPECT_EQ(sim.Finish(true), 0);
    const std::string said = sim.Stderr();
    const std::string busy = "another peer is attached";
    ASSERT_NE(said.find(busy), std::string::npos) << said;
    EXPECT_EQ(said.find(busy, said.find(busy) + 1), std::string::npos) << said;
    EXPECT_EQ(said.find("connected to"), said.rfind("connected to")) << said; // connected once
}

TEST_F(SocketHookLibraryTest, MalformedFrameDropsOnlyThatPeer) {
    struct Case {
        const char* name;
        Bytes bytes;
        const char* error;
    };
    const Case cases[] = {
        {"zero length", Be32(0), "frame length 0"},
        {"length just above the limit", Be32(kMaxFrameLength + 1), "frame length 65546"},
        {"huge length", Be32(0xFFFFFFFF), "frame length 4294967295"},
        {"type zero", Concat({Be32(1), {0}}), "unknown frame type 0"},
        {"unknown type", Concat({Be32(5), {9}, Be32(1)}), "unknown frame type 9"},
        {"folder wanted from the peer", Concat({Be32(1), {8}}), "not sent by the peer"},
        {"game folder with a NUL", Concat({Be32(5), {7}, {'/', 'a', 0, 'b'}}), "GAMEFOLDER payload of 4 bytes"},
        {"game folder over 4096 bytes", Concat({Be32(4098), {7}, Bytes(4097, 'a')}), "GAMEFOLDER payload of 4097"},
        {"watch from the peer", Concat({Be32(33), {6}, Bytes(32, 0)}), "not sent by the peer"},
        {"verdict from the peer", Concat({Be32(5), {3}, Be32(0)}), "not sent by the peer"},
        {"inject from the peer", Concat({Be32(3), {4, 0, 0x54}}), "not sent by the peer"},
        {"raise from the peer", Concat({Be32(5), {5}, Be32(1)}), "not sent by the peer"},
        {"hello too short", Concat({Be32(4), {1, 0, 0, 1}}), "HELLO payload of 3 bytes"},
        {"hello too long", Concat({Be32(6), {1}, Be32(1), {0}}), "HELLO payload of 5 bytes"},
        {"event too short", Concat({Be32(8), {2}, Be32(1424), {0, 0, 0}}), "EVENT payload of 7 bytes"},
    };
    Pump pump(*m_library);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RawPeer bad(m_path);
        ASSERT_TRUE(bad.SendHello(0x77));
        ASSERT_TRUE(Attached(0x77));
        bad.Send(c.bytes);
        EXPECT_TRUE(bad.WaitClosed());
        EXPECT_TRUE(Detached());
        EXPECT_NE(m_library->LastDropReason().find(c.error), std::string::npos) << m_library->LastDropReason();

        RawPeer good(m_path);
        ASSERT_TRUE(good.SendHello(0x78) && good.SendEvent(kPacketFromServer, SoundPacket(4, 0, 0, 0)));
        const auto verdict = good.ReadFrame();
        ASSERT_TRUE(verdict);
        EXPECT_EQ(verdict->type, FrameType::Verdict);
    }
}

TEST_F(SocketHookLibraryTest, FramesAtTheLimitsAreAccepted) {
    std::vector<Bytes> packets = {{}, Bytes(kMaxFrameLength - 9, 0x20)};
    Pump pump(*m_library, [](const Pump::Recorded& event) { return static_cast<std::uint32_t>(event.packet.size()); });
    RawPeer peer(m_path);
    ASSERT_TRUE(peer.SendHello(0));
    for (const auto& packet : packets) {
        ASSERT_TRUE(peer.SendEvent(kPacketFromServer, packet));
        const auto verdict = peer.ReadFrame();
        ASSERT_TRUE(verdict) << packet.size();
        EXPECT_EQ(verdict->verdict, packet.size());
    }
    EXPECT_EQ(pump.Events().back().packet, packets.back());
}

TEST_F(SocketHookLibraryTest, HalfSentFrameNeverHoldsGetEvent) {
    RawPeer peer(m_path);
    ASSERT_TRUE(peer.SendHello(3));
    const Bytes frame = EncodeEvent(kPacketFromServer, 9, SoundPacket(0x1F4, 1, 2, 3));
    // Header split, body split: each GetEvent that is woken comes back, with nothing.
    PeriodicWake waking(*m_library);
    std::size_t sent = 0;
    for (const std::size_t upTo : {std::size_t{2}, std::size_t{7}, frame.size() - 1}) {
        ASSERT_TRUE(peer.Send(Bytes(frame.begin() + static_cast<std::ptrdiff_t>(sent),
                                    frame.begin() + static_cast<std::ptrdiff_t>(upTo))));
        sent = upTo;
        for (int i = 0; i < 3; ++i) {
            HookLibrary::Event event;
            auto call = std::async(std::launch::async, [&] { return m_library->GetEvent(event); });
            ASSERT_EQ(call.wait_for(kHangGuard), std::future_status::ready);
            EXPECT_FALSE(call.get());
        }
    }
    ASSERT_TRUE(peer.Send(Bytes(frame.end() - 1, frame.end())));
    HookLibrary::Event event;
    ASSERT_TRUE(NextEvent(event));
    EXPECT_EQ(event.code, kPacketFromServer);
    EXPECT_EQ(event.value, 9u);
    EXPECT_EQ(Bytes(event.packet, event.packet + event.length), SoundPacket(0x1F4, 1, 2, 3));
    EXPECT_EQ(m_library->GetClientWindow(), 3u);
}

TEST_F(SocketHookLibraryTest, PeerThatStopsReadingIsDroppedInsteadOfHoldingTheWriters) {
    Pump pump(*m_library);
    RawPeer deaf(m_path);
    ASSERT_TRUE(deaf.SendHello(4));
    ASSERT_TRUE(Attached(4));
    const Bytes packet(60000, 0x41);
    // The socket buffers some hundreds of kilobytes; after that each send waits out its timeout once.
    for (int i = 0; i < 1000 && m_library->GetState() == 1; ++i)
        m_library->InjectToClient(packet.data(), packet.size());
    EXPECT_TRUE(Detached());
    EXPECT_TRUE(deaf.WaitClosed());
}

TEST_F(SocketHookLibraryTest, SimWithStayReconnectsWhenTheProgramComesBack) {
    auto pump = std::make_unique<Pump>(*m_library);
    SimProcess sim(m_path, Script(""), {"--stay"});
    ASSERT_TRUE(Attached(kSimWindow));
    pump.reset();
    m_library.reset();
    std::string error;
    m_library = SocketHookLibrary::Open(m_path, error);
    ASSERT_TRUE(m_library) << error;
    pump = std::make_unique<Pump>(*m_library);
    EXPECT_TRUE(Attached(kSimWindow)) << sim.Stderr();
    EXPECT_EQ(sim.Finish(true), 0);
}

TEST_F(SocketHookLibraryTest, SimSkipsBadScriptLinesWithTheirNumbers) {
    Pump pump(*m_library);
    SimProcess sim(
        m_path, Script("dance\nsound 10000\nplayer 1 2\nplayer 1 2 300\nraw 1424 5\nraw x 00\nwait -1\nsound 2\n"), {});
    ExpectLines(sim, {"passed sound 0x0002 at 0,0,0"});
    EXPECT_EQ(sim.Finish(false), 0);
    for (int line = 1; line <= 7; ++line)
        EXPECT_NE(sim.Stderr().find("script line " + std::to_string(line) + ":"), std::string::npos) << line;
    EXPECT_EQ(sim.Stderr().find("script line 8:"), std::string::npos);

    SimProcess idleLoop(m_path, Script("# nothing but\nbogus\nwait 0\n"), {"--loop"}); // must not spin for ever
    EXPECT_EQ(idleLoop.Finish(false), 0);
    EXPECT_NE(idleLoop.Stderr().find("not looping"), std::string::npos) << idleLoop.Stderr();
}

TEST_F(SocketHookLibraryTest, SimWithoutAProgramGivesUpWhenTold) {
    m_library.reset();
    SimProcess sim(m_path, Script("sound 1\n"), {"--connect-timeout", "200"});
    EXPECT_EQ(sim.Finish(false), 1);
    EXPECT_NE(sim.Stderr().find("not listening"), std::string::npos) << sim.Stderr();
}

TEST_F(SocketHookLibraryTest, FolderAndSocketAreOwnerOnlyAndTheSocketGoesWithTheLibrary) {
    struct stat folder {
    }, socketFile{};
    ASSERT_EQ(stat((m_dir.Path() + "/run").c_str(), &folder), 0);
    ASSERT_EQ(lstat(m_path.c_str(), &socketFile), 0);
    EXPECT_EQ(folder.st_mode & 07777, 0700u);
    EXPECT_TRUE(S_ISSOCK(socketFile.st_mode));
    EXPECT_EQ(socketFile.st_mode & 07777, 0600u);
    m_library.reset();
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(m_path)));
}

TEST_F(SocketHookLibraryTest, LiveSocketIsNotStolenButAStaleOneIsReplaced) {
    std::string error;
    EXPECT_FALSE(SocketHookLibrary::Open(m_path, error));
    EXPECT_NE(error.find("already listening"), std::string::npos) << error;
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(m_path)));

    // A socket file nobody listens on any more, as a crashed program leaves it.
    const std::string stale = m_dir.Path() + "/run/stale.sock";
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    stale.copy(address.sun_path, sizeof(address.sun_path) - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
    close(fd);
    auto replacing = SocketHookLibrary::Open(stale, error);
    ASSERT_TRUE(replacing) << error;
    RawPeer peer(stale);
    EXPECT_TRUE(peer.Connected());
}

TEST(SocketHookLibraryOpenTest, UnsafePlacesAreRefusedWithAReason) {
    struct Case {
        const char* name;
        std::function<std::string(const std::string&)> prepare; // makes the place, returns the socket path
        const char* error;
        bool needsRoot = false;
    };
    const Case cases[] = {
        {"group-writable folder",
         [](const std::string& d) {
             mkdir((d + "/f").c_str(), 0700);
             chmod((d + "/f").c_str(), 0770);
             return d + "/f/hook.sock";
         },
         "writable by group or others"},
        {"world-writable folder",
         [](const std::string& d) {
             mkdir((d + "/f").c_str(), 0700);
             chmod((d + "/f").c_str(), 01777);
             return d + "/f/hook.sock";
         },
         "writable by group or others"},
        {"folder is a symbolic link",
         [](const std::string& d) {
             mkdir((d + "/real").c_str(), 0700);
             EXPECT_EQ(symlink((d + "/real").c_str(), (d + "/f").c_str()), 0);
             return d + "/f/hook.sock";
         },
         "not a directory"},
        {"folder of another user",
         [](const std::string& d) {
             mkdir((d + "/f").c_str(), 0700);
             EXPECT_EQ(chown((d + "/f").c_str(), 65534, 65534), 0);
             return d + "/f/hook.sock";
         },
         "belongs to another user", true},
        {"path is a regular file",
         [](const std::string& d) {
             std::ofstream(d + "/hook.sock") << "x";
             return d + "/hook.sock";
         },
         "is not a socket"},
        {"path too long", [](const std::string& d) { return d + "/" + std::string(120, 'a'); }, "longer than"},
        {"missing parent folders", [](const std::string& d) { return d + "/a/b/hook.sock"; }, "cannot create"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && geteuid() != 0)
            continue;
        TempDir dir;
        const std::string path = c.prepare(dir.Path());
        std::string error;
        EXPECT_FALSE(SocketHookLibrary::Open(path, error));
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}

TEST_F(SocketHookLibraryTest, PeerOfAnotherUserIsRefused) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to connect as another user";
    Pump pump(*m_library);
    chmod((m_dir.Path() + "/run").c_str(), 0755);
    chmod(m_dir.Path().c_str(), 0755);
    chmod(m_path.c_str(), 0666);
    const pid_t child = fork();
    if (child == 0) {
        // Only async-signal-safe calls here: the parent has threads.
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(3);
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, m_path.c_str(), m_path.size());
        if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
            _exit(4);
        const timeval guard{15, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof guard);
        const std::uint8_t hello[9] = {0, 0, 0, 5, 1, 0, 0, 0, 0x42};
        send(fd, hello, sizeof hello, MSG_NOSIGNAL);
        char byte;
        const ssize_t got = recv(fd, &byte, 1, 0);
        _exit(got == 0 || (got < 0 && errno == ECONNRESET) ? 0 : 5); // closed without a word
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(m_library->GetClientWindow(), 0u);
}

// A peer names the game's folder once the program has asked (kestrune-sim --uo-data); the program
// keeps the last one named, after the peer has gone too, and tells its listener.
TEST_F(SocketHookLibraryTest, PeersNameTheGameFolder) {
    struct Recorder final : GameFolderListener {
        void GameFolderChanged(const std::string& folder) override {
            std::lock_guard lock(m_lock);
            m_told.push_back(folder);
        }
        std::vector<std::string> Told() const {
            std::lock_guard lock(m_lock);
            return m_told;
        }
        mutable std::mutex m_lock;
        std::vector<std::string> m_told;
    } recorder;
    m_library->SetGameFolderListener(&recorder);
    Pump pump(*m_library);
    EXPECT_EQ(m_library->GameFolder(), "");
    TempDir uoData;
    {
        SimProcess sim(m_path, Script(""), {"--uo-data", uoData.Path(), "--stay"});
        EXPECT_TRUE(WaitUntil([&] { return m_library->GameFolder() == uoData.Path(); })) << m_library->GameFolder();
        EXPECT_EQ(sim.Finish(true), 0);
    }
    EXPECT_TRUE(Detached());
    EXPECT_EQ(m_library->GameFolder(), uoData.Path());
    EXPECT_EQ(recorder.Told(), std::vector<std::string>{uoData.Path()});

    SimProcess missing(m_path, Script(""), {"--uo-data", uoData.Path() + "/nowhere"});
    EXPECT_EQ(missing.Finish(false), 2);
    EXPECT_NE(missing.Stderr().find("--uo-data: \"" + uoData.Path() + "/nowhere\" is not a folder"), std::string::npos)
        << missing.Stderr();

    // The program says it reads the frame (FOLDERWANTED) right after WATCH; a UTF-8 path of 4,096
    // bytes is the longest it takes.
    RawPeer peer(m_path);
    const std::string longest = "/" + std::string(4093, 'x') + "\xC3\xA9";
    ASSERT_TRUE(peer.SendHello(3) && peer.Send(EncodeGameFolder(longest)));
    EXPECT_TRUE(WaitUntil([&] { return m_library->GameFolder() == longest; }));
    EXPECT_TRUE(Attached(3));
    m_library->SetGameFolderListener(nullptr);
}
