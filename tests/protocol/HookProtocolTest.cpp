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
