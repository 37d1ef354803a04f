// The hook socket's frames and the socket path rules, without any socket.

#include "ByteOrder.h"
#include "HookProtocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

static Bytes Be32(std::uint32_t v) {
    Bytes out(4);
    PokeBe32(out, 0, v);
    return out;
}

template <std::size_t N> static Bytes ToBytes(const std::array<std::uint8_t, N>& frame) {
    return Bytes(frame.begin(), frame.end());
}

static Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

static const Bytes kSound = {0x54, 0x01, 0x01, 0xF4, 0, 0, 0, 1, 0, 2, 0, 3};

TEST(HookSocketPathTest, FollowsTheEnvironment) {
    struct Case {
        const char* hookSocket;
        const char* runtimeDir;
        std::string expected;
    };
    const std::string fallback = "/tmp/kestrune-" + std::to_string(geteuid()) + "/hook.sock";
    const Case cases[] = {
        {"/x/my.sock", "/run/user/5", "/x/my.sock"},
        {"", "/run/user/5", "/run/user/5/kestrune/hook.sock"},
        {nullptr, "/run/user/5", "/run/user/5/kestrune/hook.sock"},
        {nullptr, "", fallback},
        {nullptr, nullptr, fallback},
        {nullptr, "relative/dir", fallback},
    };
    auto keep = [](const char* name) -> std::optional<std::string> {
        const char* value = std::getenv(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    };
    auto put = [](const char* name, const char* value) { value ? setenv(name, value, 1) : unsetenv(name); };
    const auto savedHook = keep("KESTRUNE_HOOK_SOCKET");
    const auto savedRuntime = keep("XDG_RUNTIME_DIR");
    for (const auto& c : cases) {
        put("KESTRUNE_HOOK_SOCKET", c.hookSocket);
        put("XDG_RUNTIME_DIR", c.runtimeDir);
        EXPECT_EQ(HookSocketPath(), c.expected);
    }
    put("KESTRUNE_HOOK_SOCKET", savedHook ? savedHook->c_str() : nullptr);
    put("XDG_RUNTIME_DIR", savedRuntime ? savedRuntime->c_str() : nullptr);
}

TEST(HookProtocolTest, FramesSurviveAnySplitOfTheStream) {
    const Bytes packet = kSound;
    const Bytes fromPeer =
        Concat({ToBytes(EncodeHello(0xC0FFEE)), EncodeEvent(-3, 0xFFFFFFFF, packet), EncodeEvent(1424, 0, {})});
    const Bytes fromProgram = Concat(
        {ToBytes(EncodeVerdict(0x01020304)), EncodeInject(1, packet), ToBytes(EncodeRaise(42)), EncodeInject(0, {})});
    for (const std::size_t chunk : {1, 2, 3, 5, 13, 1000}) {
        SCOPED_TRACE(chunk);
        std::vector<Frame> frames;
        std::vector<Bytes> packets;
        auto feed = [&](FrameReader& reader, const Bytes& stream) {
            for (std::size_t at = 0; at < stream.size(); at += chunk) {
                const auto end = std::min(stream.size(), at + chunk);
                reader.Append(std::span(stream).subspan(at, end - at));
                Frame frame;
                while (reader.Next(frame) == FrameReader::Result::Frame) {
                    frames.push_back(frame);
                    packets.emplace_back(frame.packet.begin(), frame.packet.end());
                }
            }
            EXPECT_EQ(reader.Buffered(), 0u);
        };
        FrameReader programSide(FrameSender::Peer), peerSide(FrameSender::Program);
        feed(programSide, fromPeer);
        feed(peerSide, fromProgram);
        ASSERT_EQ(frames.size(), 7u);
        EXPECT_EQ(frames[0].type, FrameType::Hello);
        EXPECT_EQ(frames[0].window, 0xC0FFEEu);
        EXPECT_EQ(frames[1].code, -3);
        EXPECT_EQ(frames[1].value, 0xFFFFFFFFu);
        EXPECT_EQ(packets[1], packet);
        EXPECT_EQ(frames[2].code, 1424);
        EXPECT_TRUE(packets[2].empty());
        EXPECT_EQ(frames[3].verdict, 0x01020304u);
        EXPECT_EQ(frames[4].direction, 1);
        EXPECT_EQ(packets[4], packet);
        EXPECT_EQ(frames[5].window, 42u);
        EXPECT_EQ(frames[6].type, FrameType::Inject);
        EXPECT_TRUE(packets[6].empty());
    }
}

TEST(HookProtocolTest, BadBodiesFromTheProgramAreRefused) {
    struct Case {
        Bytes body;
        const char* error;
    };
    const Case cases[] = {
        {{}, "empty frame"},
        {{4}, "INJECT payload of 0 bytes"},
        {{4, 2, 0x54}, "INJECT direction 2"},
        {{3, 0, 0, 0}, "VERDICT payload of 3 bytes"},
        {{5, 0, 0, 0, 0, 0}, "RAISE payload of 5 bytes"},
        {{1, 0, 0, 0, 0}, "not sent by the program"},
        {{2, 0, 0, 0, 0, 0, 0, 0, 0}, "not sent by the program"},
        {{9}, "unknown frame type 9"},
    };
    for (const auto& c : cases) {
        Frame frame;
        std::string error;
        EXPECT_FALSE(DecodeFrameBody(c.body, FrameSender::Program, frame, error));
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}

TEST(HookProtocolTest, WatchFrameCarriesTheIdsBitByBit) {
    WatchSet watched;
    for (const std::uint8_t id : {0x00, 0x20, 0x54, 0xFF})
        watched.Add(id);
    const Bytes frame = ToBytes(EncodeWatch(watched));
    // 0x20: byte 4, bit 1 << 0; 0x54: byte 10, bit 1 << 4; 0xFF: byte 31, bit 1 << 7.
    Bytes expected = Concat({Be32(33), {6}, Bytes(32, 0)});
    expected[5 + 0] = 0x01;
    expected[5 + 4] = 0x01;
    expected[5 + 10] = 0x10;
    expected[5 + 31] = 0x80;
    EXPECT_EQ(frame, expected);

    FrameReader reader(FrameSender::Program);
    reader.Append(frame);
    Frame decoded;
    ASSERT_EQ(reader.Next(decoded), FrameReader::Result::Frame);
    EXPECT_EQ(decoded.type, FrameType::Watch);
    EXPECT_EQ(decoded.watch, watched);
    for (int id = 0; id < 256; ++id)
        EXPECT_EQ(decoded.watch.Contains(static_cast<std::uint8_t>(id)), id == 0 || id == 0x20 || id == 0x54 || id == 0xFF)
            << id;
    watched.Remove(0x54);
    EXPECT_FALSE(watched.Contains(0x54));
    EXPECT_TRUE(WatchSet().Empty());
}

TEST(HookProtocolTest, PeerSkipsFrameTypesItDoesNotKnow) {
    // A newer program's frame between two known ones: skipped whole, the stream stays in step.
    const Bytes stream = Concat({Concat({Be32(4), {0x40, 1, 2, 3}}), ToBytes(EncodeVerdict(1)),
                                 Concat({Be32(1), {0}}), ToBytes(EncodeRaise(7))});
    FrameReader reader(FrameSender::Program);
    reader.Append(stream);
    Frame frame;
    ASSERT_EQ(reader.Next(frame), FrameReader::Result::Frame);
    EXPECT_EQ(frame.verdict, 1u);
    ASSERT_EQ(reader.Next(frame), FrameReader::Result::Frame);
    EXPECT_EQ(frame.window, 7u);
    EXPECT_EQ(reader.Next(frame), FrameReader::Result::NeedMore);

    // The program is not so lenient with its peer, and a WATCH of the wrong size is refused.
    FrameReader program(FrameSender::Peer);
    program.Append(Concat({Be32(4), {0x40, 1, 2, 3}}));
    EXPECT_EQ(program.Next(frame), FrameReader::Result::Error);
    std::string error;
    EXPECT_FALSE(DecodeFrameBody(Concat({{6}, Bytes(31, 0)}), FrameSender::Program, frame, error));
    EXPECT_NE(error.find("WATCH payload of 31 bytes"), std::string::npos) << error;
}

// GAMEFOLDER (peer) and FOLDERWANTED (program): what each side takes and what it refuses.
TEST(HookProtocolTest, GameFolderFrames) {
    const std::string longest = "/" + std::string(4095, 'u');
    struct Case {
        const char* what;
        Bytes body;
        FrameSender sender;
        const char* error; // empty: taken
        std::string folder = {};
    };
    auto folderBody = [](const std::string& path) {
        Bytes body = {7};
        body.insert(body.end(), path.begin(), path.end());
        return body;
    };
    const Case cases[] = {
        {"a path", folderBody("/home/p/uo"), FrameSender::Peer, "", "/home/p/uo"},
        {"UTF-8", folderBody("/ゲーム/uo"), FrameSender::Peer, "", "/ゲーム/uo"},
        {"4,096 bytes", folderBody(longest), FrameSender::Peer, "", longest},
        {"4,097 bytes", folderBody(longest + "u"), FrameSender::Peer, "GAMEFOLDER payload of 4097 bytes"},
        {"empty", {7}, FrameSender::Peer, "GAMEFOLDER payload of 0 bytes"},
        {"a NUL", folderBody(std::string("/a\0b", 4)), FrameSender::Peer, "GAMEFOLDER payload of 4 bytes"},
        {"Latin-1, not UTF-8", folderBody("/caf\xE9"), FrameSender::Peer, "not a path"},
        {"cut UTF-8", folderBody("/\xE3\x82"), FrameSender::Peer, "not a path"},
        {"overlong UTF-8", folderBody("/\xC0\xAF"), FrameSender::Peer, "not a path"},
        {"a surrogate", folderBody("/\xED\xA0\x80"), FrameSender::Peer, "not a path"},
        {"from the program", folderBody("/uo"), FrameSender::Program, "not sent by the program"},
        {"folder wanted", {8}, FrameSender::Program, ""},
        {"folder wanted with a payload", {8, 0}, FrameSender::Program, "FOLDERWANTED payload of 1 bytes, expected 0"},
        {"folder wanted from the peer", {8}, FrameSender::Peer, "not sent by the peer"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Frame frame;
        std::string error;
        const bool taken = DecodeFrameBody(c.body, c.sender, frame, error);
        EXPECT_EQ(taken, std::string(c.error).empty()) << error;
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        if (taken) {
            EXPECT_EQ(frame.folder, c.folder);
        }
        if (taken && c.sender == FrameSender::Peer) {
            EXPECT_EQ(EncodeGameFolder(c.folder), Concat({Be32(static_cast<std::uint32_t>(c.body.size())), c.body}));
        }
        if (!taken && c.body[0] == 7 && c.sender == FrameSender::Peer) {
            EXPECT_TRUE(EncodeGameFolder(std::string(c.body.begin() + 1, c.body.end())).empty());
        }
    }

    // The worked example of docs/hook-protocol.md.
    EXPECT_EQ(EncodeGameFolder("/srv/uo"), (Bytes{0, 0, 0, 8, 7, '/', 's', 'r', 'v', '/', 'u', 'o'}));
    EXPECT_EQ(ToBytes(EncodeFolderWanted()), (Bytes{0, 0, 0, 1, 8}));

    // A peer that names no folder reads FOLDERWANTED as a frame it does not know.
    const Bytes stream =
        Concat({ToBytes(EncodeWatch(WatchSet())), ToBytes(EncodeFolderWanted()), ToBytes(EncodeVerdict(1))});
    for (const bool takes : {false, true}) {
        FrameReader reader(FrameSender::Program, takes);
        reader.Append(stream);
        std::vector<FrameType> types;
        Frame frame;
        while (reader.Next(frame) == FrameReader::Result::Frame)
            types.push_back(frame.type);
        const std::vector<FrameType> expected =
            takes ? std::vector<FrameType>{FrameType::Watch, FrameType::FolderWanted, FrameType::Verdict}
                  : std::vector<FrameType>{FrameType::Watch, FrameType::Verdict};
        EXPECT_EQ(types, expected);
    }
}
