#include "OutboundPackets.h"
#include "FakeHookLibrary.h"
#include "HookBridge.h"
#include "PlayCommand.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// The 48 header bytes of a 0xAE message of `size` bytes.
static Bytes MessageHeader(std::uint16_t size) {
    Bytes header(48, 0);
    header[0] = 0xAE;
    header[1] = static_cast<std::uint8_t>(size >> 8);
    header[2] = static_cast<std::uint8_t>(size);
    header[10] = 0x04;
    header[11] = 0x81;
    header[13] = 0x03;
    header[14] = 'J';
    header[15] = 'P';
    header[16] = 'N';
    return header;
}

static Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(OutboundPacketsTest, SystemMessageForSevenDigitsIsNinetyEightBytes) {
    const Bytes expected{
        0xAE, 0x00, 0x62, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x81, 0x00, 0x03, 0x4A, 0x50, 0x4E,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 'P',  0x00,
        'l',  0x00, 'a',  0x00, 'y',  0x00, ' ',  0x00, 'S',  0x00, 'o',  0x00, 'u',  0x00, 'n',  0x00, 'd',
        0x00, ' ',  0x00, 'N',  0x00, 'o',  0x00, '.',  0x00, '0',  0x00, 'x',  0x00, '1',  0x00, '2',  0x00,
        '3',  0x00, '4',  0x00, '5',  0x00, '6',  0x00, '7',  0x00, 0x00, 0x00, 0x00,
    };
    ASSERT_EQ(expected.size(), 98u);
    EXPECT_EQ(BuildSystemMessage("Play Sound No.0x1234567", "CP932"), expected);
    EXPECT_EQ(BuildSystemMessage("Play Sound No.0x1234567", "UTF-8"), expected);
}

TEST(OutboundPacketsTest, SystemMessageCarriesNonAsciiTextAsBigEndianUtf16) {
    struct Case {
        const char* codePage;
        std::string text;
        Bytes body; // from offset 48 to the end
    };
    const Bytes saiseiA{0x51, 0x8D, 0x75, 0x1F, 0x00, 0x20, 0x00, 0x61}; // "再生 a"
    const std::vector<Case> cases{
        {"CP932", "\x8D\xC4\x90\xB6 a", Concat(saiseiA, Bytes(8, 0))},
        {"UTF-8", "\xE5\x86\x8D\xE7\x94\x9F a", Concat(saiseiA, Bytes(12, 0))},
        {"CP932", "\x8D\xC4\xB1", {0x51, 0x8D, 0xFF, 0x71, 0, 0, 0, 0, 0, 0}},           // 再 and half-width ｱ
        {"UTF-8", "\xF0\x9F\x94\x8A", {0xD8, 0x3D, 0xDD, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0}}, // U+1F50A, two units
        {"UTF-8", "", {0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        const auto size = static_cast<std::uint16_t>(2 * c.text.size() + 52);
        EXPECT_EQ(BuildSystemMessage(c.text, c.codePage), Concat(MessageHeader(size), c.body))
            << c.codePage << " " << c.text;
    }
}

TEST(OutboundPacketsTest, SystemMessageTextEndsAtItsFirstZeroByte) {
    using namespace std::string_view_literals;
    const Bytes body{0x00, 'a', 0x00, 'b', 0, 0, 0, 0};
    EXPECT_EQ(BuildSystemMessage("ab\0cd"sv, "UTF-8"), Concat(MessageHeader(56), body));
}

TEST(OutboundPacketsTest, MalformedTextStaysInsideThePacketWithItsTerminator) {
    for (const char* codePage : {"UTF-8", "CP932"}) {
        const std::string text = "\xFF\x81\xE5\x86";
        const Bytes packet = BuildSystemMessage(text, codePage);
        ASSERT_EQ(packet.size(), 2 * text.size() + 52) << codePage;
        EXPECT_EQ(packet[packet.size() - 1], 0);
        EXPECT_EQ(packet[packet.size() - 2], 0);
    }
}

TEST(OutboundPacketsTest, LongestTextFillsOnePacketAndLongerIsDropped) {
    const std::string longest(kMaxSystemMessageText, 'a');
    const std::string tooLong(kMaxSystemMessageText + 1, 'a');
    EXPECT_EQ(BuildSystemMessage(longest, "CP932").size(), 8192u);
    EXPECT_TRUE(BuildSystemMessage(tooLong, "CP932").empty());

    FakeHookLibrary library;
    PacketHandlerTable table;
    HookBridge bridge(library, table); // never started: the queue keeps what is appended
    bridge.QueueSystemMessage(tooLong, "CP932");
    EXPECT_TRUE(bridge.Queue().Empty());
    bridge.QueueSystemMessage(longest, "CP932");
    auto packet = bridge.Queue().TakeOldest();
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(packet->length, 8192u);
    EXPECT_EQ(packet->data[1], 0x20);
    EXPECT_EQ(packet->data[2], 0x00);
    EXPECT_EQ(packet->data[8191], 0);
    EXPECT_TRUE(bridge.Queue().Empty());
}

TEST(OutboundPacketsTest, PlaySoundPacketIsTwelveBigEndianBytes) {
    struct Case {
        std::uint16_t number;
        PlayerPosition::Value position;
        Bytes expected;
    };
    const std::vector<Case> cases{
        {0x01F4, {}, {0x54, 0x01, 0x01, 0xF4, 0, 0, 0, 0, 0, 0, 0, 0}},
        {0x1234, {0x0A0B, 0x0C0D, 0xEE}, {0x54, 0x01, 0x12, 0x34, 0, 0, 0x0A, 0x0B, 0x0C, 0x0D, 0, 0xEE}},
        {0xFFFF, {0xFFFF, 0x0001, 0x80}, {0x54, 0x01, 0xFF, 0xFF, 0, 0, 0xFF, 0xFF, 0x00, 0x01, 0, 0x80}},
    };
    PacketBuilder builder;
    for (const Case& c : cases) {
        builder.Reset();
        WritePlaySoundPacket(builder, c.number, c.position);
        const auto bytes = builder.Bytes();
        EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), c.expected);
        EXPECT_EQ(builder.Length(), 12u);
    }
}

TEST(OutboundPacketsTest, BuilderDropsFieldsThatWouldRunPastTheBuffer) {
    PacketBuilder builder;
    for (std::size_t i = 0; i + 3 < PacketBuilder::kCapacity; ++i)
        builder.PutU8(1);
    builder.PutBe32(0x01020304); // 4 bytes into 3 free: dropped
    EXPECT_EQ(builder.Length(), PacketBuilder::kCapacity - 3);
    builder.PutBe16(0x0102);
    builder.PutBe16(0x0304); // 2 bytes into 1 free: dropped
    EXPECT_EQ(builder.Length(), PacketBuilder::kCapacity - 1);
    builder.PutU8(0xFE);
    builder.PutU8(0xFF);
    ASSERT_EQ(builder.Length(), PacketBuilder::kCapacity);
    EXPECT_EQ(builder.Bytes().back(), 0xFE);
    builder.Reset();
    EXPECT_EQ(builder.Length(), 0u);
}

TEST(PlayCommandTest, NoClientWindowQueuesAndRaisesNothing) {
    FakeHookLibrary library;
    PacketHandlerTable table;
    HookBridge bridge(library, table);
    PlayerPosition position;
    EXPECT_FALSE(RunPlayCommand(bridge, library, position, "1234"));
    EXPECT_TRUE(bridge.Queue().Empty());
    EXPECT_TRUE(library.RaisedWindows().empty());
}

TEST(PlayCommandTest, RaisesTheWindowThenInjectsTheMessageThenTheSound) {
    struct Case {
        std::string text;
        std::string message;
        std::uint16_t number;
    };
    const std::vector<Case> cases{
        {"1234567", "Play Sound No.0x1234567", 0x4567}, {"3a", "Play Sound No.0x3a", 0x003A},
        {"0x3a", "Play Sound No.0x0x3a", 0x003A},       {"", "Play Sound No.0x", 0x0000},
        {"ffff", "Play Sound No.0xffff", 0xFFFF},       {"-1", "Play Sound No.0x-1", 0xFFFF},
    };
    FakeHookLibrary library;
    library.SetClientWindow(0x1234);
    PacketHandlerTable table;
    HookBridge bridge(library, table);
    bridge.Start();
    PlayerPosition position;
    const PlayerPosition::Value where{0x0102, 0x0304, 0x05};

    std::vector<FakeHookLibrary::Injection> expected;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        // The first runs before any position is known: it plays at 0, 0, 0.
        const PlayerPosition::Value at = i == 0 ? PlayerPosition::Value{} : where;
        ASSERT_TRUE(RunPlayCommand(bridge, library, position, c.text)) << c.text;
        EXPECT_EQ(bridge.Builder().Length(), 0u);
        position.Store(where);

        expected.push_back({0, BuildSystemMessage(c.message, "UTF-8")});
        PacketBuilder sound;
        WritePlaySoundPacket(sound, c.number, at);
        expected.push_back({0, Bytes(sound.Bytes().begin(), sound.Bytes().end())});
    }
    ASSERT_TRUE(library.WaitForInjections(expected.size()));
    bridge.Stop();

    EXPECT_EQ(library.Injections(), expected);
    EXPECT_EQ(library.RaisedWindows(), std::vector<std::uint32_t>(cases.size(), 0x1234));
}

// Notes whether anything had been queued by the time the window was raised.
class QueueWatchingRaiser final : public ClientWindowRaiser {
public:
    explicit QueueWatchingRaiser(HookBridge& bridge) : m_bridge(bridge) {}
    void RaiseWindow(std::uint32_t window) override {
        raised.push_back(window);
        queueEmptyAtRaise = m_bridge.Queue().Empty();
    }
    std::vector<std::uint32_t> raised;
    bool queueEmptyAtRaise = false;

private:
    HookBridge& m_bridge;
};

TEST(PlayCommandTest, RaisesTheWindowBeforeQueueingAnything) {
    FakeHookLibrary library;
    library.SetClientWindow(42);
    PacketHandlerTable table;
    HookBridge bridge(library, table); // never started
    QueueWatchingRaiser raiser(bridge);
    PlayerPosition position;
    ASSERT_TRUE(RunPlayCommand(bridge, raiser, position, "1f4"));
    EXPECT_EQ(raiser.raised, std::vector<std::uint32_t>{42});
    EXPECT_TRUE(raiser.queueEmptyAtRaise);
    auto message = bridge.Queue().TakeOldest();
    auto sound = bridge.Queue().TakeOldest();
    ASSERT_NE(message, nullptr);
    ASSERT_NE(sound, nullptr);
    EXPECT_EQ(message->data[0], 0xAE);
    EXPECT_EQ(sound->data[0], 0x54);
    EXPECT_EQ(sound->length, 12u);
    EXPECT_TRUE(bridge.Queue().Empty());
}
