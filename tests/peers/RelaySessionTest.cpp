// Whole game sessions through kestrune-relay: a scripted client and a fake shard on the loopback
// address, with Kestrune's real program side attached (or not).

#include "GamePacket.h"
#include "ProgramSide.h"
#include "RelayHarness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <optional>
#include <poll.h>
#include <random>

using namespace relaytest;

namespace {

constexpr std::uint32_t kKey = 0x4B455354;
constexpr std::uint16_t kMuted = 0x0010;
const std::string kAccount = "wanderer";
const std::string kPassword = "hunter2-secret";

Bytes Sized(std::initializer_list<std::uint8_t> head, std::size_t size) {
    Bytes packet(head);
    packet.resize(size, 0);
    return packet;
}

Bytes Variable(std::uint8_t id, std::size_t size, std::uint8_t fill) {
    Bytes packet(size, fill);
    packet[0] = id;
    packet[1] = static_cast<std::uint8_t>(size >> 8);
    packet[2] = static_cast<std::uint8_t>(size);
    return packet;
}

Bytes LoginPacket(std::uint8_t id) {
    return PlainLogin(id, kAccount, kPassword, kKey);
}

struct Scenario {
    const char* name;
    bool attached = true;
    bool seedPacket = true;
    ClientVersion version{7, 0, 104, 2};
    std::optional<std::uint8_t> unknownId; // the relay's table does not know it
    bool pieces = false;                   // the shard writes its stream in pieces of 1, 2, 3, ... bytes
};

// The game after entering the world: thousands of packets of many ids, sounds among them (every
// seventh muted), player packets, and one packet of `special` in the middle.
std::vector<Bytes> GamePackets(std::mt19937& random, const PacketLengths& lengths, std::size_t count,
                               std::uint8_t special) {
    const std::uint8_t ids[] = {0x1D, 0x2E, 0x3A, 0x4E, 0x4F, 0x65, 0x6E, 0x72, 0x77, 0x78, 0x88, 0xA1, 0xA2,
                                0xA3, 0xAE, 0xBF, 0xC1, 0xD6, 0xDC, 0xF3, 0x0B, 0x11, 0x1A, 0x25, 0x2C, 0x4D};
    std::vector<Bytes> packets;
    for (std::size_t k = 0; k < count; ++k) {
        const unsigned pick = random() % 10;
        if (k == count / 2) {
            packets.push_back(Variable(special, 9, 0x42));
        } else if (pick == 0) {
            const auto sound = static_cast<std::uint16_t>(k % 7 == 0 ? kMuted : 0x0100 + random() % 40);
            packets.push_back(SoundPacket(sound, 1200, 1300, 5));
        } else if (pick == 1) {
            packets.push_back(PlayerPacket(static_cast<std::uint16_t>(900 + random() % 200),
                                           static_cast<std::uint16_t>(900 + random() % 200), 0));
        } else {
            const std::uint8_t id = ids[random() % std::size(ids)];
            const std::uint16_t length = *lengths.Length(id);
            Bytes packet = length == 0 ? Variable(id, 3 + random() % 200, 0) : Sized({id}, length);
            for (std::size_t i = length == 0 ? 3 : 1; i < packet.size(); ++i)
                packet[i] = static_cast<std::uint8_t>(random());
            packets.push_back(packet);
        }
    }
    // The player ends up at 1000,1000, facing east.
    Bytes player = PlayerPacket(1000, 1000, 0);
    player[17] = 2;
    packets.push_back(player);
    return packets;
}

struct Script {
    Bytes loginFromClient;
    Bytes gameFromClient;
    std::vector<Bytes> world;  // 0xB9, 0xA9, 0x1B, 0x55
    std::vector<Bytes> before; // the game before the walk
    std::vector<Bytes> after;  // after Play
    Bytes walks;
    std::vector<Bytes> confirms;
};

Script MakeScript(const Scenario& scenario) {
    const PacketLengths lengths = PacketLengths::ForVersion(scenario.version);
    std::mt19937 random(2593);
    Script script;
    Bytes seed;
    if (scenario.seedPacket) {
        seed = Sized({0xEF, 1, 2, 3, 4}, 21);
        PokeBe16(seed, 7, static_cast<std::uint16_t>(scenario.version.major));
        PokeBe16(seed, 11, static_cast<std::uint16_t>(scenario.version.minor));
        PokeBe16(seed, 15, static_cast<std::uint16_t>(scenario.version.revision));
        PokeBe16(seed, 19, static_cast<std::uint16_t>(scenario.version.patch));
    } else {
        seed = {127, 0, 0, 1};
    }
    script.loginFromClient = Join({seed, LoginPacket(0x80)});
    script.gameFromClient =
        Join({{kKey >> 24, (kKey >> 16) & 0xFF, (kKey >> 8) & 0xFF, kKey & 0xFF}, LoginPacket(0x91)});
    Bytes enter = Sized({0x1B, 0, 0, 0, 1}, 37);
    PokeBe16(enter, 11, 990);
    PokeBe16(enter, 13, 990);
    script.world = {Sized({0xB9, 0x80}, *lengths.Length(0xB9)), Variable(0xA9, 40, 0x20), enter, {0x55}};
    script.before = GamePackets(random, lengths, 3000, scenario.unknownId.value_or(0xF0));
    script.after = GamePackets(random, lengths, 3000, 0xF0);
    for (std::uint8_t sequence = 1; sequence <= 5; ++sequence) {
        const Bytes walk = Sized({0x02, 0x02, sequence}, 7); // east, facing east: one tile each
        script.walks.insert(script.walks.end(), walk.begin(), walk.end());
        script.confirms.push_back({0x22, sequence, 0});
    }
    return script;
}

// The shard: its login server and game server, playing the script; false with `error` on a deviation.
void RunShard(Listener& login, Listener& game, const Scenario& scenario, const Script& script,
              std::shared_future<void> played, std::string& error) {
    try {
        Socket client = login.Accept();
        if (client.ReceiveExactly(script.loginFromClient.size()) != script.loginFromClient)
            Fail("the login packets came changed");
        client.Send(Variable(0xA8, 46, 0));
        if (client.ReceiveExactly(3) != Bytes{0xA0, 0, 0})
            Fail("0xA0 came changed");
        Bytes redirect = {0x8C, 127, 0, 0, 1, 0, 0, kKey >> 24, (kKey >> 16) & 0xFF, (kKey >> 8) & 0xFF, kKey & 0xFF};
        PokeBe16(redirect, 5, game.Port());
        client.Send(redirect);
        if (!client.AtEnd())
            Fail("the client did not close its login connection");

        Socket player = game.Accept();
        if (player.ReceiveExactly(script.gameFromClient.size()) != script.gameFromClient)
            Fail("the game login came changed");
        Bytes stream;
        for (const auto* part : {&script.world, &script.before})
            for (const auto& packet : *part) {
                const Bytes compressed = Compressed(packet);
                stream.insert(stream.end(), compressed.begin(), compressed.end());
            }
        if (scenario.pieces) {
            std::size_t piece = 1;
            for (std::size_t at = 0; at < stream.size(); at += piece, piece = piece % 97 + 1)
                player.Send(std::span(stream).subspan(at, std::min(piece, stream.size() - at)));
        } else {
            player.Send(stream);
        }
        if (player.ReceiveExactly(script.walks.size()) != script.walks)
            Fail("the walk requests came changed");
        for (const auto& confirm : script.confirms)
            player.Send(Compressed(confirm));
        played.wait();
        // The rest compressed in one go, as some servers do: one end code for all of it.
        stream.clear();
        for (const auto& packet : script.after)
            stream.insert(stream.end(), packet.begin(), packet.end());
        player.Send(Compressed(stream));
    } catch (const std::exception& failure) {
        error = failure.what();
    }
}

bool Muted(const Bytes& packet) {
    return packet[0] == kSoundPacketId && PeekBe16(packet, 2) == kMuted;
}

void PrintTo(const Scenario& scenario, std::ostream* out) {
    *out << scenario.name;
}

class RelaySessionTest : public ::testing::TestWithParam<Scenario> {};

} // namespace

TEST_P(RelaySessionTest, EveryPacketArrivesButTheMutedSounds) {
    const Scenario& scenario = GetParam();
    const Script script = MakeScript(scenario);
    TempFolder folder;
    const std::string hookPath = folder.Path() + "/hook.sock";
    std::optional<ProgramSide> program;
    if (scenario.attached) {
        program.emplace(hookPath);
        program->Mute(kMuted);
    }
    Listener login, game;
    RelayOptions options;
    options.shardHost = "127.0.0.1";
    options.shardPort = login.Port();
    options.hookSocket = hookPath;
    if (scenario.unknownId)
        options.lengthChanges.emplace_back(*scenario.unknownId, std::nullopt);
    // Hundreds of sounds in flight at once: on a loaded machine the last verdicts may take longer
    // than the player's default wait, and a muted sound would then pass.
    options.verdictTimeout = 60s;
    RelayRunner relay(options);
    ASSERT_TRUE(relay.WaitFor(scenario.attached ? "attached to Kestrune" : "Kestrune is not running"));

    std::promise<void> played;
    std::string shardError;
    std::thread shard(RunShard, std::ref(login), std::ref(game), std::cref(scenario), std::cref(script),
                      played.get_future().share(), std::ref(shardError));
    struct Join {
        std::thread& thread;
        std::promise<void>& played;
        ~Join() {
            try {
                played.set_value();
            } catch (...) {
            }
            thread.join();
        }
    } joinShard{shard, played};

    // The login connection: the 0x8C comes pointed at the relay.
    Socket loginConnection = Socket::Connect(relay.LoginPort());
    loginConnection.Send(script.loginFromClient);
    ASSERT_EQ(loginConnection.ReceiveExactly(46), Variable(0xA8, 46, 0));
    loginConnection.Send(Bytes{0xA0, 0, 0});
    const Bytes redirect = loginConnection.ReceiveExactly(11);
    ASSERT_EQ(redirect[0], 0x8C);
    EXPECT_EQ(Bytes(redirect.begin() + 1, redirect.begin() + 5), (Bytes{127, 0, 0, 1}));
    EXPECT_EQ(PeekBe16(redirect, 5), relay.GamePort());
    EXPECT_EQ(PeekBe32(redirect, 7), kKey);
    loginConnection.Close();

    // The game connection, to the port the 0x8C named.
    Socket gameConnection = Socket::Connect(*PeekBe16(redirect, 5));
    gameConnection.Send(script.gameFromClient);
    ClientReader reader(PacketLengths::ForVersion(scenario.version));
    const bool inspected = !scenario.unknownId;
    bool faultSeen = false;
    auto expect = [&](const std::vector<Bytes>& packets, const char* part) {
        for (std::size_t k = 0; k < packets.size(); ++k) {
            if (scenario.unknownId && packets[k][0] == *scenario.unknownId)
                faultSeen = true;
            if (scenario.attached && Muted(packets[k]) && !faultSeen)
                continue;
            ASSERT_EQ(reader.Next(gameConnection), packets[k]) << part << " packet " << k;
        }
    };
    ASSERT_NO_FATAL_FAILURE(expect(script.world, "world"));
    ASSERT_NO_FATAL_FAILURE(expect(script.before, "before"));
    gameConnection.Send(script.walks);
    ASSERT_NO_FATAL_FAILURE(expect(script.confirms, "confirm"));

    if (scenario.attached && inspected) {
        // Kestrune last saw the player at 1000,1000; the player has walked five tiles east since.
        ASSERT_TRUE(program->Play("3a"));
        const Bytes message = reader.Next(gameConnection);
        EXPECT_EQ(message[0], 0xAE);
        EXPECT_EQ(reader.Next(gameConnection), SoundPacket(0x003A, 1005, 1000, 0));
    }
    played.set_value();
    ASSERT_NO_FATAL_FAILURE(expect(script.after, "after"));
    EXPECT_TRUE(gameConnection.AtEnd()) << "the shard closed the game, so the relay closes the client's";
    shard.join();
    shard = std::thread([] {});
    EXPECT_EQ(shardError, "");
    if (scenario.attached) {
        // Out of the world again: Kestrune is told there is no client window.
        for (int k = 0; k < 500 && program->Library().GetClientWindow() != 0; ++k)
            std::this_thread::sleep_for(10ms);
        EXPECT_EQ(program->Library().GetClientWindow(), 0u);
    }

    if (scenario.attached) {
        // Sounds before any fault are recorded; the muted one stays muted.
        const auto muted = program->Catalogue().Find(kMuted);
        ASSERT_TRUE(muted.has_value());
        EXPECT_TRUE(muted->mute);
        std::size_t recorded = 0;
        for (std::uint16_t number = 0x0100; number < 0x0128; ++number)
            recorded += program->Catalogue().Find(number).has_value();
        EXPECT_GT(recorded, 20u);
    }
    if (scenario.unknownId) {
        EXPECT_TRUE(relay.WaitFor("has no known length (from the server)"));
        // From the next packet boundary of the server's stream on, its own bytes pass unchanged.
        Bytes after;
        for (const auto& packet : script.after)
            after.insert(after.end(), packet.begin(), packet.end());
        const Bytes tail = Compressed(after);
        ASSERT_GE(reader.Raw().size(), tail.size());
        EXPECT_TRUE(std::equal(tail.rbegin(), tail.rend(), reader.Raw().rbegin()));
    }
    for (const auto& line : relay.Lines()) {
        EXPECT_EQ(line.find(kAccount), std::string::npos) << line;
        EXPECT_EQ(line.find(kPassword), std::string::npos) << line;
    }
}

INSTANTIATE_TEST_SUITE_P(Sessions, RelaySessionTest,
                         ::testing::Values(Scenario{"attached", true, true, {7, 0, 104, 2}, std::nullopt},
                                           Scenario{"absent", false, true, {7, 0, 104, 2}, std::nullopt},
                                           Scenario{"rawSeed", true, false, {7, 0, 104, 2}, std::nullopt},
                                           Scenario{"oldClient", true, true, {6, 0, 14, 1}, std::nullopt},
                                           Scenario{"unknownId", true, true, {7, 0, 104, 2}, 0xF7},
                                           Scenario{"pieces", true, true, {7, 0, 104, 2}, std::nullopt, true}),
                         [](const auto& info) { return std::string(info.param.name); });

namespace {

Bytes Noise(std::size_t size, std::uint32_t seed) {
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (auto& byte : bytes)
        byte = static_cast<std::uint8_t>(random());
    return bytes;
}

struct Relayed {
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
};

const Bytes kSeed = {127, 0, 0, 1};
const Bytes kKeyBytes = {kKey >> 24, (kKey >> 16) & 0xFF, (kKey >> 8) & 0xFF, kKey & 0xFF};

} // namespace

TEST(RelayFaultTest, EncryptedClientIsToldAndPassedThroughUntouched) {
    Relayed setup;
    RelayRunner relay(setup.Options());
    Game session =
        EnterGame(relay, setup.login, setup.game, Join({kSeed, Noise(62, 1)}), Join({kKeyBytes, Noise(65, 2)}));
    EXPECT_TRUE(relay.WaitFor("Switch the client's encryption off"));
    const Bytes fromServer = Noise(5000, 3), fromClient = Noise(3000, 4);
    session.server.Send(fromServer);
    session.client.Send(fromClient);
    EXPECT_EQ(session.client.ReceiveExactly(fromServer.size()), fromServer);
    EXPECT_EQ(session.server.ReceiveExactly(fromClient.size()), fromClient);
}

TEST(RelayFaultTest, SecondGameSessionPassesUninspected) {
    Relayed setup;
    ProgramSide program(setup.hookPath);
    program.Mute(kMuted);
    RelayRunner relay(setup.Options());
    ASSERT_TRUE(relay.WaitFor("attached to Kestrune"));
    const Bytes loginBytes = Join({kSeed, LoginPacket(0x80)}), gameBytes = LoginPacket(0x91);
    Game first = EnterGame(relay, setup.login, setup.game, loginBytes, Join({kKeyBytes, gameBytes}));
    Game second = EnterGame(relay, setup.login, setup.game, loginBytes, Join({kKeyBytes, gameBytes}));
    EXPECT_TRUE(relay.WaitFor("this one passes through uninspected"));
    const Bytes muted = Compressed(SoundPacket(kMuted, 1, 2, 3)), heard = Compressed(SoundPacket(0x0200, 1, 2, 3));
    for (Game* game : {&first, &second})
        game->server.Send(Join({muted, heard}));
    EXPECT_EQ(second.client.ReceiveExactly(muted.size() + heard.size()), Join({muted, heard})) << "untouched";
    EXPECT_EQ(first.client.ReceiveExactly(heard.size()), heard) << "the muted sound is dropped";
}

TEST(RelayFaultTest, ShardUnreachableOrGoneClosesTheClient) {
    std::uint16_t closedPort;
    {
        Listener gone;
        closedPort = gone.Port();
    }
    Relayed setup;
    RelayOptions options = setup.Options();
    options.shardPort = closedPort;
    {
        RelayRunner relay(options);
        Socket client = Socket::Connect(relay.LoginPort());
        client.Send(Join({kSeed, LoginPacket(0x80)}));
        EXPECT_TRUE(client.AtEnd());
        EXPECT_TRUE(relay.WaitFor("cannot reach 127.0.0.1:" + std::to_string(closedPort)));
    }
    RelayRunner relay(setup.Options());
    Game session = EnterGame(relay, setup.login, setup.game, Join({kSeed, LoginPacket(0x80)}),
                             Join({kKeyBytes, LoginPacket(0x91)}));
    session.server.Send(Compressed(Bytes{0x55}));
    session.server.Close();
    EXPECT_EQ(session.client.ReceiveExactly(2), Compressed(Bytes{0x55})) << "what the server sent last still arrives";
    EXPECT_TRUE(session.client.AtEnd());
    EXPECT_TRUE(relay.WaitFor("the game server closed the connection"));
    // A game connection with a key the relay never handed out has nowhere to go.
    Socket stranger = Socket::Connect(relay.GamePort());
    stranger.Send(Bytes{9, 9, 9, 9, 0x91});
    EXPECT_TRUE(stranger.AtEnd());
}

TEST(RelayFaultTest, ClientPacketsAskedAboutAndInjectedToTheServer) {
    Relayed setup;
    std::string error;
    auto library = SocketHookLibrary::Open(setup.hookPath, error);
    ASSERT_TRUE(library) << error;
    WatchSet watched;
    for (std::uint8_t id : {0x02, 0x80, 0x83, 0x91, 0xCF})
        watched.Add(id);
    library->WatchedPacketsChanged(watched);
    std::mutex mutex;
    std::vector<std::pair<std::int32_t, Bytes>> events;
    std::atomic<bool> stop{false};
    std::thread pump([&] {
        while (!stop.load()) {
            HookLibrary::Event event;
            if (!library->GetEvent(event))
                continue;
            std::lock_guard lock(mutex);
            events.emplace_back(event.code, Bytes(event.packet, event.packet + event.length));
            library->SetVerdict(event.length > 2 && event.packet[2] == 2 ? 1 : 0); // blocks the second walk
        }
    });
    struct Stop {
        std::atomic<bool>& stop;
        std::thread& pump;
        HookLibrary& library;
        ~Stop() {
            stop.store(true);
            library.Wake();
            pump.join();
        }
    } stopPump{stop, pump, *library};

    RelayRunner relay(setup.Options());
    ASSERT_TRUE(relay.WaitFor("attached to Kestrune"));
    Game session = EnterGame(relay, setup.login, setup.game, Join({kSeed, LoginPacket(0x80)}),
                             Join({kKeyBytes, LoginPacket(0x91)}));
    const Bytes walk1 = Sized({0x02, 2, 1}, 7), walk2 = Sized({0x02, 2, 2}, 7), walk3 = Sized({0x02, 2, 3}, 7);
    const Bytes ping = {0x73, 0x07};
    // The login's other form and a character's deletion carry the password: never asked about.
    Bytes otherLogin = PlainLogin(0x80, kAccount, kPassword);
    otherLogin[0] = 0xCF;
    otherLogin.resize(78, 0);
    Bytes deletion = Sized({0x83}, 39);
    std::copy(kPassword.begin(), kPassword.end(), deletion.begin() + 1);
    session.client.Send(Join({walk1, walk2, ping, otherLogin, deletion, walk3}));
    const Bytes passed = Join({walk1, ping, otherLogin, deletion, walk3});
    EXPECT_EQ(session.server.ReceiveExactly(passed.size()), passed);
    library->InjectToServer(ping.data(), ping.size());
    library->InjectToServer(walk1.data(), 3); // not a whole 0x02: dropped
    session.client.Send(ping);
    EXPECT_EQ(session.server.ReceiveExactly(4), Join({ping, ping}));
    EXPECT_TRUE(relay.WaitFor("is not a whole packet; dropped"));
    std::lock_guard lock(mutex);
    ASSERT_EQ(events.size(), 3u) << "the walks only: never a packet with the account name or password";
    for (const auto& [code, packet] : events) {
        EXPECT_EQ(code, kEventFromClient);
        EXPECT_EQ(packet[0], 0x02);
    }
}

// A program that takes the relay but never answers.
static std::unique_ptr<SocketHookLibrary> SilentProgram(const std::string& path, RelayRunner& relay,
                                                        std::size_t attach) {
    std::string error;
    auto silent = SocketHookLibrary::Open(path, error);
    if (!silent)
        Fail(error);
    WatchSet watched;
    watched.Add(kSoundPacketId);
    silent->WatchedPacketsChanged(watched);
    // GetEvent accepts the relay; it sleeps until an event or a wake-up, so this thread keeps
    // calling it until the relay says it is attached.
    std::atomic<bool> attached{false};
    std::thread accepting([&] {
        HookLibrary::Event event;
        while (!attached.load())
            silent->GetEvent(event);
    });
    const bool taken = relay.WaitFor("attached to Kestrune", attach);
    attached.store(true);
    silent->Wake();
    accepting.join();
    if (!taken)
        Fail("the relay never attached");
    return silent;
}

TEST(RelayFaultTest, KestruneComingLateAndGoingAway) {
    Relayed setup;
    RelayOptions options = setup.Options();
    options.hookRetry = 100ms;
    options.verdictTimeout = 600s;
    RelayRunner relay(options);
    ASSERT_TRUE(relay.WaitFor("Kestrune is not running"));
    Game session = EnterGame(relay, setup.login, setup.game, Join({kSeed, LoginPacket(0x80)}),
                             Join({kKeyBytes, LoginPacket(0x91)}));
    const Bytes muted = Compressed(SoundPacket(kMuted, 1, 2, 3)), heard = Compressed(SoundPacket(0x0200, 1, 2, 3));
    session.server.Send(muted);
    EXPECT_EQ(session.client.ReceiveExactly(muted.size()), muted) << "without Kestrune everything passes";
    {
        ProgramSide program(setup.hookPath);
        program.Mute(kMuted);
        ASSERT_TRUE(relay.WaitFor("attached to Kestrune"));
        session.server.Send(Join({muted, heard}));
        EXPECT_EQ(session.client.ReceiveExactly(heard.size()), heard);
    }
    ASSERT_TRUE(relay.WaitFor("Kestrune went away"));
    // Packets waiting for a program that leaves go on at once (long before the verdict timeout).
    auto silent = SilentProgram(setup.hookPath, relay, 2);
    session.server.Send(Join({muted, heard}));
    std::this_thread::sleep_for(50ms);
    silent.reset();
    EXPECT_EQ(session.client.ReceiveExactly(muted.size() + heard.size()), Join({muted, heard}));
}

TEST(RelayFaultTest, SlowKestruneIsNotWaitedForLong) {
    Relayed setup;
    RelayOptions options = setup.Options();
    options.verdictTimeout = 300ms;
    RelayRunner relay(options);
    auto silent = SilentProgram(setup.hookPath, relay, 1);
    Game session = EnterGame(relay, setup.login, setup.game, Join({kSeed, LoginPacket(0x80)}),
                             Join({kKeyBytes, LoginPacket(0x91)}));
    const Bytes sound = Compressed(SoundPacket(kMuted, 1, 2, 3));
    session.server.Send(sound);
    EXPECT_EQ(session.client.ReceiveExactly(sound.size()), sound);
    EXPECT_TRUE(relay.WaitFor("Kestrune did not answer in time"));
}

TEST(RelayFaultTest, SlowClientSlowsTheServerInsteadOfGrowingMemory) {
    Relayed setup;
    RelayRunner relay(setup.Options());
    // Passed through uninspected, so only the buffering is measured.
    Game session =
        EnterGame(relay, setup.login, setup.game, Join({kSeed, Noise(62, 1)}), Join({kKeyBytes, Noise(65, 2)}));
    const Bytes block = Noise(1 << 20, 5);
    Bytes sent;
    while (sent.size() < std::size_t{128} << 20) {
        pollfd fd{session.server.Fd(), POLLOUT, 0};
        if (poll(&fd, 1, 500) <= 0)
            break; // the relay has stopped reading
        const std::size_t at = sent.size() % block.size();
        const ssize_t count =
            send(session.server.Fd(), block.data() + at, block.size() - at, MSG_DONTWAIT | MSG_NOSIGNAL);
        ASSERT_GT(count, 0);
        sent.insert(sent.end(), block.begin() + at, block.begin() + at + count);
    }
    EXPECT_LT(sent.size(), std::size_t{64} << 20) << "the relay went on reading for a client that does not";
    EXPECT_TRUE(session.client.ReceiveExactly(sent.size()) == sent);
}
