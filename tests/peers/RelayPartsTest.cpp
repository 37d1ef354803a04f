// The relay's pieces above the bytes: following the player, the opening of a connection, the 0x8C
// rewrite, the command line.

#include "ClientOpening.h"
#include "GamePacket.h"
#include "PlayerFollower.h"
#include "RedirectRewriter.h"
#include "RelayOptions.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Packet(std::initializer_list<std::uint8_t> head, std::size_t size) {
    Bytes packet(head);
    packet.resize(size, 0);
    return packet;
}

Bytes EnterWorld(std::uint16_t x, std::uint16_t y, std::uint8_t facing) {
    Bytes packet = Packet({0x1B}, 37);
    PokeBe16(packet, 11, x);
    PokeBe16(packet, 13, y);
    packet[17] = facing;
    return packet;
}

Bytes Walk(std::uint8_t direction, std::uint8_t sequence) {
    return Packet({0x02, direction, sequence}, 7);
}

Bytes Login(std::uint8_t id, const std::string& account, const std::string& password) {
    const std::size_t at = id == 0x80 ? 1 : 5;
    Bytes packet = Packet({id, 0x12, 0x34, 0x56, 0x78}, id == 0x80 ? 62 : 65);
    std::copy(account.begin(), account.end(), packet.begin() + static_cast<std::ptrdiff_t>(at));
    std::copy(password.begin(), password.end(), packet.begin() + static_cast<std::ptrdiff_t>(at + 30));
    return packet;
}

} // namespace

TEST(PlayerFollowerTest, FollowsWalksTurnsRefusalsAndMoves) {
    struct Step {
        bool fromServer;
        Bytes packet;
        std::uint16_t x, y;
    };
    const Step steps[] = {
        {true, EnterWorld(100, 200, 2), 100, 200}, // facing east
        {false, Walk(2, 1), 100, 200},             // asked, not yet confirmed
        {true, Packet({0x22, 1}, 3), 101, 200},    // confirmed: one tile east
        {false, Walk(0x82, 2), 101, 200},          // running east
        {true, Packet({0x22, 2}, 3), 102, 200},
        {false, Walk(4, 3), 102, 200}, // south: only a turn
        {true, Packet({0x22, 3}, 3), 102, 200},
        {false, Walk(4, 4), 102, 200},
        {false, Walk(5, 5), 102, 200},
        {true, Packet({0x22, 4}, 3), 102, 201}, // south
        {true, Packet({0x22, 5}, 3), 102, 201}, // south-west: a turn
        {true, Packet({0x97, 5}, 2), 101, 202}, // moved south-west without asking
        {false, Walk(7, 6), 101, 202},
        {true, Packet({0x21, 6, 0, 50, 0, 60, 7, 0}, 8), 50, 60}, // refused: put back, facing north-west
        {true, Packet({0x22, 6}, 3), 50, 60},                     // the refused request is forgotten
        {false, Walk(7, 0), 50, 60},
        {true, Packet({0x22, 0}, 3), 49, 59}, // north-west
        {true, PlayerPacket(7, 8, 0), 7, 8},  // the player packet places outright
        {true, Packet({0x22, 9}, 3), 7, 8},   // a confirmation of nothing asked
        {true, Packet({0x22}, 1), 7, 8},      // too short: ignored
    };
    PlayerFollower follower;
    EXPECT_FALSE(follower.Known());
    int index = 0;
    for (const auto& step : steps) {
        SCOPED_TRACE(index++);
        if (step.fromServer)
            follower.FromServer(step.packet);
        else
            follower.FromClient(step.packet);
        EXPECT_TRUE(follower.Known());
        EXPECT_EQ(follower.X(), step.x);
        EXPECT_EQ(follower.Y(), step.y);
    }
}

TEST(LoginPacketsTest, PlainLoginsAndTheirLookalikes) {
    const struct {
        Bytes packet;
        bool plain;
    } cases[] = {
        {Login(0x80, "player", "secret"), true},
        {Login(0x91, "player", "secret"), true},
        {Login(0x91, "player", ""), true},
        {Login(0x80, "", "secret"), false},                              // no account name
        {Login(0x80, std::string(30, 'a'), std::string(30, 'b')), true}, // fields full to the brim
        {Login(0x80, std::string("pla\x01yer"), "secret"), false},       // control byte
        {Login(0x80, std::string("player\0x", 8), "secret"), false},     // text after the padding
        {Bytes(62, 0xA5), false},                                        // encrypted: noise
        {Packet({0x80, 'a'}, 61), false},                                // wrong size
    };
    int index = 0;
    for (const auto& c : cases)
        EXPECT_EQ(LooksLikePlainLogin(c.packet), c.plain) << index++;
}

TEST(ClientOpeningTest, TellsLoginFromGameConnections) {
    Bytes seed = Packet({0xEF, 0xC0, 0xA8, 0x01, 0x02, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, 104, 0, 0, 0, 2}, 21);
    auto join = [](Bytes a, const Bytes& b) { return a.insert(a.end(), b.begin(), b.end()), a; };
    const Bytes key = {0x12, 0x34, 0x56, 0x78};
    auto lookup = [](std::uint32_t k, bool& encrypted) {
        encrypted = k == 0x0BADCAFE;
        return k == 0x12345678 || k == 0x0BADCAFE;
    };
    const struct {
        const char* name;
        bool atGamePort;
        Bytes bytes;
        ClientOpening::Kind kind;
        bool plain;
        bool versioned;
    } cases[] = {
        {"0xEF seed then 0x80", false, join(seed, Login(0x80, "a", "b")), ClientOpening::Kind::Login, true, true},
        {"raw seed then 0x80", false, join({1, 2, 3, 4}, Login(0x80, "a", "b")), ClientOpening::Kind::Login, true,
         false},
        {"encrypted login", false, join({1, 2, 3, 4}, Bytes(62, 0x5A)), ClientOpening::Kind::Login, false, false},
        {"game at the game port", true, join(key, Login(0x91, "a", "b")), ClientOpening::Kind::Game, true, false},
        {"game at the login port", false, join(key, Login(0x91, "a", "b")), ClientOpening::Kind::Game, true, false},
        {"a seed like a key, then 0x80", false, join(key, Login(0x80, "a", "b")), ClientOpening::Kind::Login, true,
         false},
        {"encrypted game at the login port", false, join({0x0B, 0xAD, 0xCA, 0xFE}, Bytes(65, 0x33)),
         ClientOpening::Kind::Game, false, false},
    };
    for (const auto& c : cases) {
        for (std::size_t piece : {std::size_t{1}, std::size_t{7}, c.bytes.size()}) {
            SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
            ClientOpening opening(c.atGamePort, lookup);
            for (std::size_t at = 0; at < c.bytes.size(); at += piece)
                opening.Feed(std::span(c.bytes).subspan(at, std::min(piece, c.bytes.size() - at)));
            EXPECT_EQ(opening.Which(), c.kind);
            EXPECT_TRUE(opening.Done());
            EXPECT_EQ(opening.Plain(), c.plain);
            EXPECT_EQ(opening.Version().has_value(), c.versioned);
            if (c.versioned) {
                EXPECT_EQ(*opening.Version(), (ClientVersion{7, 0, 104, 2}));
            }
        }
    }
}

TEST(RedirectRewriterTest, PointsEvery0x8CAtTheRelayAtEverySplit) {
    const Bytes stream = {0xA8, 0x00, 0x05, 0x5D, 0x00,                                     // a tiny server list
                          0x8C, 10,   0,    0,    7,    0x0A, 0x22, 0xDE, 0xAD, 0xBE, 0xEF, // 10.0.0.7:2594
                          0x82, 0x03};
    const Bytes expected = {0xA8, 0x00, 0x05, 0x5D, 0x00, 0x8C, 127,  0,    0,
                            1,    0x9C, 0x40, 0xDE, 0xAD, 0xBE, 0xEF, 0x82, 0x03};
    for (std::size_t split = 0; split <= stream.size(); ++split) {
        SCOPED_TRACE(split);
        RedirectRewriter rewriter({}, {127, 0, 0, 1}, 40000);
        Bytes out;
        std::vector<Redirect> found;
        rewriter.Feed(std::span(stream).first(split), out, found);
        rewriter.Feed(std::span(stream).subspan(split), out, found);
        EXPECT_EQ(out, expected);
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0].address, (std::array<std::uint8_t, 4>{10, 0, 0, 7}));
        EXPECT_EQ(found[0].port, 2594);
        EXPECT_EQ(found[0].key, 0xDEADBEEFu);
    }
    // A packet that cannot be sized: the rest passes as it is.
    PacketLengths lengths;
    lengths.Forget(0xA8);
    RedirectRewriter rewriter(lengths, {127, 0, 0, 1}, 40000);
    Bytes out;
    std::vector<Redirect> found;
    rewriter.Feed(stream, out, found);
    EXPECT_EQ(out, stream);
    EXPECT_TRUE(found.empty());
    EXPECT_TRUE(rewriter.Faulted());
}

TEST(RelayOptionsTest, CommandLines) {
    const struct {
        std::vector<const char*> args;
        ParseOutcome outcome;
        const char* message; // part of the error
    } cases[] = {
        {{"--shard", "shard.example:2593"}, ParseOutcome::Run, ""},
        {{"--shard", "[::1]:2593", "--listen", "0.0.0.0:7775", "--game-port", "7776", "--client-version", "5.0.9.1",
          "--packet-length", "0xf0=0", "--verdict-timeout", "500", "--no-raise", "--socket", "/tmp/s"},
         ParseOutcome::Run,
         ""},
        {{"--help"}, ParseOutcome::Help, ""},
        {{}, ParseOutcome::Bad, "--shard HOST:PORT is required"},
        {{"--shard"}, ParseOutcome::Bad, "--shard needs a value"},
        {{"--shard", "shard.example"}, ParseOutcome::Bad, "is not HOST:PORT"},
        {{"--shard", "shard.example:70000"}, ParseOutcome::Bad, "is not HOST:PORT"},
        {{"--shard", "a:1", "--listen", "localhost:2593"}, ParseOutcome::Bad, "IPv4 address"},
        {{"--shard", "a:1", "--client-version", "seven"}, ParseOutcome::Bad, "is not a version"},
        {{"--shard", "a:1", "--packet-length", "f0=3"}, ParseOutcome::Bad, "is not ID=LEN"},
        {{"--shard", "a:1", "--packet-length", "0x100=3"}, ParseOutcome::Bad, "is not ID=LEN"},
        {{"--shard", "a:1", "--verdict-timeout", "0"}, ParseOutcome::Bad, "milliseconds"},
        {{"--shard", "a:1", "--bogus"}, ParseOutcome::Bad, "unknown option --bogus"},
        {{"--shard", "a:1", "extra"}, ParseOutcome::Bad, "unexpected argument extra"},
        {{"--shard", "a:1", "--uo-data", "/tmp"}, ParseOutcome::Run, ""},
        {{"--shard", "a:1", "--uo-data"}, ParseOutcome::Bad, "--uo-data needs a value"},
        {{"--shard", "a:1", "--uo-data", ""}, ParseOutcome::Bad, "--uo-data: \"\" is not a folder"},
        {{"--shard", "a:1", "--uo-data", "/nonexistent/uo"}, ParseOutcome::Bad, "\"/nonexistent/uo\" is not a folder"},
        {{"--shard", "a:1", "--uo-data", "/etc/hostname"}, ParseOutcome::Bad, "is not a folder"},
    };
    for (const auto& c : cases) {
        std::vector<const char*> argv = {"kestrune-relay"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        RelayOptions options;
        std::string error;
        SCOPED_TRACE(c.args.empty() ? "(none)" : c.args.back());
        EXPECT_EQ(ParseRelayOptions(static_cast<int>(argv.size()), argv.data(), options, error), c.outcome);
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
    RelayOptions options;
    std::string error;
    const char* argv[] = {"r", "--shard", "[::1]:2593", "--listen", "0.0.0.0:7775", "--packet-length", "0xF0=9"};
    ASSERT_EQ(ParseRelayOptions(7, argv, options, error), ParseOutcome::Run) << error;
    EXPECT_EQ(options.shardHost, "::1");
    EXPECT_EQ(options.listenAddress, "0.0.0.0");
    EXPECT_EQ(options.listenPort, 7775);
    ASSERT_EQ(options.lengthChanges.size(), 1u);
    EXPECT_EQ(options.lengthChanges[0].first, 0xF0);
    EXPECT_EQ(options.lengthChanges[0].second, 9);
    EXPECT_EQ(options.gameFolder, "");

    // The game folder travels made absolute: the program does not share the relay's directory.
    const char* relative[] = {"r", "--shard", "a:1", "--uo-data", "."};
    ASSERT_EQ(ParseRelayOptions(5, relative, options, error), ParseOutcome::Run) << error;
    EXPECT_EQ(std::filesystem::path(options.gameFolder), std::filesystem::current_path() / "");
}
