#include "ActiveDialog.h"
#include "HookBridge.h"
#include "PlayerObserver.h"
#include "SoundCatalogue.h"
#include "SoundObserver.h"

#include "FakeHookLibrary.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// Stands in for the dialog: an auto-add switch and a record of the sounds it was asked to add.
class RecordingDialog final : public ObservedDialog {
public:
    bool AutoAddOn() const override { return autoAdd.load(); }
    void QueuePlayedSound(std::uint16_t number) override { added.push_back(number); }
    std::atomic<bool> autoAdd{false};
    std::vector<std::uint16_t> added;
};

// Runs one packet through a handler the way the pump does: verdict reset, handler, verdict read.
static std::uint32_t Deliver(HookBridge& bridge, PacketHandler& handler, const Bytes& packet) {
    bridge.currentPacket = PacketBytes(packet.data(), packet.size());
    bridge.verdict = 0;
    handler.HandlePacket(bridge);
    bridge.currentPacket = {};
    return bridge.verdict;
}

static Bytes SoundPacket(std::uint16_t number) {
    return {0x54, 0x01, static_cast<std::uint8_t>(number >> 8), static_cast<std::uint8_t>(number), 0, 0, 0, 0, 0, 0,
            0,    0};
}

class ObserverTest : public testing::Test {
protected:
    FakeHookLibrary library;
    PacketHandlerTable table;
    HookBridge bridge{library, table}; // never started: packets are delivered by hand
    SoundCatalogue catalogue;
    ActiveDialog activeDialog;
    RecordingDialog dialog;
};

TEST_F(ObserverTest, SoundObserverBlocksMutedAndAddsOnlyWhenAskedTo) {
    catalogue.AddOrUpdate(0x0101, "muted", true, false, false, nullptr);
    catalogue.AddOrUpdate(0x0202, "heard", false, false, false, nullptr);
    SoundObserver observer(catalogue, activeDialog);

    struct Case {
        Bytes packet;
        bool autoAdd;
        bool published;
        std::uint32_t verdict;
        std::vector<std::uint16_t> added;
    };
    const std::vector<Case> cases{
        {SoundPacket(0x0101), false, true, 1, {}},           // muted: blocked with auto-add off
        {SoundPacket(0x0101), true, true, 1, {}},            // ... and on, never re-added
        {SoundPacket(0x0101), true, false, 1, {}},           // ... and with no dialog at all
        {SoundPacket(0x0202), false, true, 0, {}},           // known, auto-add off
        {SoundPacket(0x0202), true, true, 0, {0x0202}},      // known, auto-add on
        {SoundPacket(0x0303), false, true, 0, {}},           // unknown passes
        {SoundPacket(0x0303), true, true, 0, {0x0303}},      // unknown, auto-add on
        {SoundPacket(0x0303), true, false, 0, {}},           // no dialog published
        {SoundPacket(0x0000), true, true, 0, {}},            // never auto-added
        {SoundPacket(0xFFFF), true, true, 0, {}},            // never auto-added
        {{0x54, 0x01, 0x01}, true, true, 0, {}},             // too short for the number: passes unread
        {{0x54, 0x01, 0x02, 0x02}, true, true, 0, {0x0202}}, // just long enough
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        dialog.added.clear();
        dialog.autoAdd = c.autoAdd;
        if (c.published)
            activeDialog.Publish(dialog);
        else
            activeDialog.Withdraw();
        EXPECT_EQ(Deliver(bridge, observer, c.packet), c.verdict) << "case " << i;
        EXPECT_EQ(dialog.added, c.added) << "case " << i;
    }
    // The observer never changes the catalogue itself.
    EXPECT_EQ(catalogue.Count(), 2u);
}

TEST_F(ObserverTest, ShortSoundPacketPassesEvenWhenItsPrefixLooksMuted) {
    catalogue.AddOrUpdate(0x0100, "", true, false, false, nullptr);
    SoundObserver observer(catalogue, activeDialog);
    EXPECT_EQ(Deliver(bridge, observer, {0x54, 0x01, 0x01}), 0u);
    EXPECT_EQ(Deliver(bridge, observer, {0x54, 0x01, 0x01, 0x00}), 1u);
}

TEST_F(ObserverTest, PlayerObserverOverwritesAllThreeValuesAndPassesEverything) {
    PlayerPosition position;
    PlayerObserver observer(position);
    EXPECT_EQ(position.Load(), PlayerPosition::Value{});

    auto playerPacket = [](std::uint16_t x, std::uint16_t y, std::uint8_t z, std::size_t length) {
        Bytes packet(length, 0xCC); // filler that must not leak into the position
        packet[0] = 0x20;
        packet[11] = static_cast<std::uint8_t>(x >> 8);
        packet[12] = static_cast<std::uint8_t>(x);
        packet[13] = static_cast<std::uint8_t>(y >> 8);
        packet[14] = static_cast<std::uint8_t>(y);
        if (length > 18)
            packet[18] = z;
        return packet;
    };
    struct Case {
        Bytes packet;
        PlayerPosition::Value after;
    };
    const std::vector<Case> cases{
        {playerPacket(0x0A0B, 0x0C0D, 0x0E, 19), {0x0A0B, 0x0C0D, 0x0E}},
        {playerPacket(0x0001, 0x0000, 0x00, 19), {0x0001, 0x0000, 0x00}}, // zeros overwrite too
        {playerPacket(0xFFFF, 0xFFFE, 0xF6, 19), {0xFFFF, 0xFFFE, 0xF6}},
        {playerPacket(1, 2, 3, 18), {0xFFFF, 0xFFFE, 0xF6}}, // one byte short of z
        {{0x20}, {0xFFFF, 0xFFFE, 0xF6}},                    // too short: the old position stands
        {playerPacket(0x1234, 0x5678, 0x9A, 0x200), {0x1234, 0x5678, 0x9A}},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(Deliver(bridge, observer, cases[i].packet), 0u) << "case " << i;
        EXPECT_EQ(position.Load(), cases[i].after) << "case " << i;
    }
}

TEST(ObserverPumpTest, ObserversWorkThroughTheRunningPumpForBothCodes) {
    FakeHookLibrary library;
    PacketHandlerTable table;
    SoundCatalogue catalogue;
    catalogue.AddOrUpdate(0x0101, "", true, false, false, nullptr);
    ActiveDialog activeDialog;
    PlayerPosition position;
    SoundObserver sound(catalogue, activeDialog);
    PlayerObserver player(position);
    HookBridge bridge(library, table);
    bridge.Start();

    library.PushPacket(SoundPacket(0x0101)); // before the observers are installed: passes
    ASSERT_TRUE(library.WaitForVerdicts(1));
    table.Install(0x54, sound);
    table.Install(0x20, player);
    Bytes where(20, 0);
    where[0] = 0x20;
    where[12] = 7;
    where[18] = 9;
    library.PushEvent(kPacketFromServer, SoundPacket(0x0101));
    library.PushEvent(kPacketFromClient, SoundPacket(0x0101));
    library.PushEvent(kPacketFromClient, SoundPacket(0x0102));
    library.PushEvent(kPacketFromServer, where);
    ASSERT_TRUE(library.WaitForVerdicts(5));
    bridge.Stop();

    EXPECT_EQ(library.Verdicts(), (std::vector<std::uint32_t>{0, 1, 1, 0, 0}));
    EXPECT_EQ(position.Load(), (PlayerPosition::Value{7, 0, 9}));
}

// A dialog whose auto-add holds the observer inside until released; it notes whether it was still
// in use once Withdraw had returned.
class SlowDialog final : public ObservedDialog {
public:
    bool AutoAddOn() const override { return true; }
    void QueuePlayedSound(std::uint16_t) override {
        std::unique_lock lock(m_lock);
        ++calls;
        m_changed.notify_all();
        m_changed.wait(lock, [&] { return released; });
        usedAfterWithdraw = usedAfterWithdraw || withdrawn;
    }
    template <class Change> void Set(Change change) {
        std::lock_guard lock(m_lock);
        change(*this);
        m_changed.notify_all();
    }
    template <class Pred> bool WaitFor(Pred pred, std::chrono::milliseconds timeout) {
        std::unique_lock lock(m_lock);
        return m_changed.wait_for(lock, timeout, [&] { return pred(*this); });
    }
    int calls = 0;
    bool released = false, withdrawn = false, usedAfterWithdraw = false;

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
};

TEST_F(ObserverTest, WithdrawWaitsForAnObserverInFlight) {
    SlowDialog slow;
    activeDialog.Publish(slow);
    SoundObserver observer(catalogue, activeDialog);
    const Bytes packet = SoundPacket(0x0303);

    std::thread pump([&] { Deliver(bridge, observer, packet); });
    ASSERT_TRUE(slow.WaitFor([](SlowDialog& d) { return d.calls == 1; }, std::chrono::seconds(10)));
    std::thread closer([&] {
        activeDialog.Withdraw();
        slow.Set([](SlowDialog& d) { d.withdrawn = true; });
    });
    // A Withdraw that did not wait would mark the dialog withdrawn here; give it the chance.
    EXPECT_FALSE(slow.WaitFor([](SlowDialog& d) { return d.withdrawn; }, std::chrono::milliseconds(200)));
    slow.Set([](SlowDialog& d) { d.released = true; });
    pump.join();
    closer.join();
    EXPECT_FALSE(slow.usedAfterWithdraw);
    EXPECT_TRUE(slow.withdrawn);
    Deliver(bridge, observer, packet); // no longer reaches the dialog
    EXPECT_EQ(slow.calls, 1);
}
