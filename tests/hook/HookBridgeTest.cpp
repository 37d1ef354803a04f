#include "HookBridge.h"
#include "FakeHookLibrary.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// Records the packets it is given and leaves `verdictToSet` (when not 0) as the verdict.
class RecordingHandler final : public PacketHandler {
public:
    struct Seen {
        std::int32_t code;
        Bytes packet;
        friend bool operator==(const Seen&, const Seen&) = default;
    };
    explicit RecordingHandler(std::uint32_t verdictToSet = 0) : m_verdictToSet(verdictToSet) {}
    void HandlePacket(HookBridge& bridge) override {
        std::lock_guard lock(m_lock);
        m_seen.push_back({bridge.eventCode, Bytes(bridge.currentPacket.begin(), bridge.currentPacket.end())});
        if (m_verdictToSet != 0)
            bridge.verdict = m_verdictToSet;
    }
    std::vector<Seen> SeenPackets() const {
        std::lock_guard lock(m_lock);
        return m_seen;
    }

private:
    std::uint32_t m_verdictToSet;
    mutable std::mutex m_lock;
    std::vector<Seen> m_seen;
};

// Holds whoever calls Pass() until Release(), so a test can stop the bridge while a thread is busy.
class BridgeGate {
public:
    void Pass() {
        std::unique_lock lock(m_lock);
        ++m_entered;
        m_changed.notify_all();
        m_changed.wait(lock, [&] { return m_released; });
    }
    bool WaitEntered() {
        std::unique_lock lock(m_lock);
        return m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_entered > 0; });
    }
    void Release() {
        std::lock_guard lock(m_lock);
        m_released = true;
        m_changed.notify_all();
    }
    int Entered() {
        std::lock_guard lock(m_lock);
        return m_entered;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    int m_entered = 0;
    bool m_released = false;
};

class GateHandler final : public PacketHandler {
public:
    void HandlePacket(HookBridge& bridge) override {
        gate.Pass();
        bridge.verdict = 1;
    }
    BridgeGate gate;
};

// Never delivers an event; every injection waits at the gate.
class BlockingInjectLibrary final : public HookLibrary {
public:
    std::uint8_t GetState() override { return 0; }
    std::uint32_t GetClientWindow() override { return 0; }
    bool GetEvent(Event&) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return false;
    }
    void SetVerdict(std::uint32_t) override {}
    void InjectToClient(const std::uint8_t*, std::size_t) override { gate.Pass(); }
    void InjectToServer(const std::uint8_t*, std::size_t) override { gate.Pass(); }
    BridgeGate gate;
};

// Hang guard for conditions with no notification of their own.
template <class Pred> static bool Eventually(Pred pred) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

// Stops the bridge from another thread and lets `gate` go only once the stop has been requested.
static void StopWhileHeldAt(HookBridge& bridge, BridgeGate& gate) {
    std::thread stopper([&] { bridge.Stop(); });
    EXPECT_TRUE(Eventually([&] { return bridge.stopRequested.load() != 0; }));
    gate.Release();
    stopper.join();
}

TEST(PacketHandlerTableTest, StartsAllNoOpAndUninstallPutsNoOpBack) {
    PacketHandlerTable table;
    for (int id = 0; id < 256; ++id)
        ASSERT_EQ(&table.HandlerFor(static_cast<std::uint8_t>(id)), &NoOpHandler::Instance()) << id;
    RecordingHandler handler;
    table.Install(0x54, handler);
    EXPECT_EQ(&table.HandlerFor(0x54), &handler);
    EXPECT_EQ(&table.HandlerFor(0x55), &NoOpHandler::Instance());
    table.Uninstall(0x54);
    EXPECT_EQ(&table.HandlerFor(0x54), &NoOpHandler::Instance());
}

TEST(HookBridgeTest, DispatchesByFirstByteForBothPacketCodesAndResetsTheVerdict) {
    struct Case {
        std::int32_t code;
        Bytes packet;
        std::uint32_t verdict;
        int handler; // 0: none, 1: the blocker on 0x54, 2: the passer on 0x20
    };
    const Bytes sound{0x54, 0x01, 0x02, 0x03}, player{0x20, 0xAA, 0xBB}, other{0x11, 0x54};
    const std::vector<Case> cases{
        {kPacketFromServer, sound, 1, 1},
        {kPacketFromClient, sound, 1, 1},
        {kPacketFromServer, player, 0, 2},
        {kPacketFromClient, player, 0, 2},
        {kPacketFromServer, other, 0, 0},
        {kPacketFromClient, other, 0, 0},
        {0, sound, 0, 0},
        {1426, sound, 0, 0},
        {-1424, player, 0, 0},
        {kPacketFromServer, {}, 0, 0},
        {kPacketFromServer, {0x54}, 1, 1},
    };
    FakeHookLibrary library;
    PacketHandlerTable table;
    RecordingHandler blocker(1), passer;
    table.Install(0x54, blocker);
    table.Install(0x20, passer);
    HookBridge bridge(library, table);
    bridge.Start();

    std::vector<RecordingHandler::Seen> toBlocker, toPasser;
    std::vector<std::uint32_t> verdicts;
    for (const Case& c : cases) {
        library.PushEvent(c.code, c.packet, 77);
        verdicts.push_back(c.verdict);
        if (c.handler != 0)
            (c.handler == 1 ? toBlocker : toPasser).push_back({c.code, c.packet});
    }
    ASSERT_TRUE(library.WaitForVerdicts(cases.size()));
    bridge.Stop();
    EXPECT_EQ(library.Verdicts(), verdicts);
    EXPECT_EQ(blocker.SeenPackets(), toBlocker);
    EXPECT_EQ(passer.SeenPackets(), toPasser);
}

TEST(HookBridgeTest, PacketsBeforeAnyInstallAllPass) {
    FakeHookLibrary library;
    PacketHandlerTable table;
    HookBridge bridge(library, table);
    bridge.Start();
    for (int id = 0; id < 256; ++id)
        library.PushEvent(id % 2 ? kPacketFromClient : kPacketFromServer, Bytes{static_cast<std::uint8_t>(id), 0, 0});
    ASSERT_TRUE(library.WaitForVerdicts(256));
    bridge.Stop();
    EXPECT_EQ(library.Verdicts(), std::vector<std::uint32_t>(256, 0));
}

TEST(HookBridgeTest, NoEventMeansNoHandlerNoVerdictButStateStillAsked) {
    FakeHookLibrary library;
    PacketHandlerTable table;
    RecordingHandler handler(1);
    for (int id = 0; id < 256; ++id)
        table.Install(static_cast<std::uint8_t>(id), handler);
    HookBridge bridge(library, table);
    bridge.Start();
    ASSERT_TRUE(Eventually([&] { return library.GetEventCalls() >= 5; }));
    bridge.Stop();
    EXPECT_EQ(library.VerdictCount(), 0u);
    EXPECT_TRUE(handler.SeenPackets().empty());
    EXPECT_EQ(library.GetStateCalls(), library.GetEventCalls());
}

TEST(HookBridgeTest, StopLetsThePumpGiveTheVerdictForTheEventInHand) {
    FakeHookLibrary library;
    PacketHandlerTable table;
    GateHandler handler;
    table.Install(0x54, handler);
    HookBridge bridge(library, table);
    bridge.Start();
    library.PushPacket({0x54, 0x01, 0x00, 0x10});
    library.PushPacket({0x54, 0x01, 0x00, 0x11});
    ASSERT_TRUE(handler.gate.WaitEntered());
    StopWhileHeldAt(bridge, handler.gate);
    EXPECT_EQ(library.Verdicts(), std::vector<std::uint32_t>{1});
    EXPECT_EQ(library.PendingEvents(), 1u); // the second is never fetched
    bridge.Stop();                          // idempotent
}

TEST(HookBridgeTest, InjectsQueuedPacketsInOrderByDirection) {
    FakeHookLibrary library;
    PacketHandlerTable table;
    HookBridge bridge(library, table);
    bridge.Start();
    const std::vector<std::pair<std::uint8_t, Bytes>> packets{
        {0, {0xAE, 0x01}}, {1, {0x02}}, {7, {0x03}}, {0, {0x54, 0x04}}, {1, {}},
    };
    for (const auto& [direction, bytes] : packets) {
        auto packet = std::make_unique<OutboundPacket>();
        packet->direction = direction;
        packet->length = static_cast<std::uint32_t>(bytes.size());
        std::copy(bytes.begin(), bytes.end(), packet->data);
        bridge.Queue().Append(std::move(packet));
    }
    ASSERT_TRUE(library.WaitForInjections(4));
    ASSERT_TRUE(Eventually([&] { return bridge.Queue().Empty(); }));
    bridge.Stop();
    const std::vector<FakeHookLibrary::Injection> expected{
        {0, {0xAE, 0x01}}, {1, {0x02}}, {0, {0x54, 0x04}}, {1, {}}}; // direction 7: freed unsent
    EXPECT_EQ(library.Injections(), expected);
}

TEST(HookBridgeTest, QueuePacketCopiesUpToTheCapacityAndDropsLonger) {
    FakeHookLibrary library;
    PacketHandlerTable table;
    HookBridge bridge(library, table); // never started: packets stay queued
    Bytes full(OutboundPacket::kCapacity, 0x5A), tooLong(OutboundPacket::kCapacity + 1, 0x5B);
    bridge.QueuePacket(tooLong.data(), tooLong.size());
    bridge.QueuePacket(full.data(), full.size());
    full[0] = 0; // the queue holds its own copy
    auto packet = bridge.Queue().TakeOldest();
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(packet->direction, 0);
    ASSERT_EQ(packet->length, OutboundPacket::kCapacity);
    EXPECT_EQ(packet->data[0], 0x5A);
    EXPECT_TRUE(bridge.Queue().Empty());
}

// The sanitizer build's leak checker tells whether the unsent packets were freed.
TEST(HookBridgeTest, PacketsQueuedAtStopAreFreedUnsent) {
    const Bytes bytes{0x54, 1, 2, 3};
    {
        FakeHookLibrary library;
        PacketHandlerTable table;
        HookBridge bridge(library, table); // never started
        for (int i = 0; i < 3; ++i)
            bridge.QueuePacket(bytes.data(), bytes.size());
        bridge.Stop();
        EXPECT_TRUE(bridge.Queue().Empty());
    }
    BlockingInjectLibrary library;
    PacketHandlerTable table;
    HookBridge bridge(library, table);
    bridge.Start();
    for (int i = 0; i < 4; ++i)
        bridge.QueuePacket(bytes.data(), bytes.size());
    ASSERT_TRUE(library.gate.WaitEntered());
    StopWhileHeldAt(bridge, library.gate);
    EXPECT_EQ(library.gate.Entered(), 1);
    EXPECT_TRUE(bridge.Queue().Empty());
}
