// Throughput of the hook pump: events dispatched per second through HookBridge with the in-process
// fake library, with no-op handlers and with the SoundObserver on a full catalogue; plus the
// observer's own per-packet cost and the injection queue's append/take.
#include "ActiveDialog.h"
#include "FakeHookLibrary.h"
#include "HookBridge.h"
#include "OutboundPackets.h"
#include "SoundCatalogue.h"
#include "SoundObserver.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

static constexpr int kBatch = 20000;

class SilentDialog final : public ObservedDialog {
public:
    bool AutoAddOn() const override { return false; }
    void QueuePlayedSound(std::uint16_t) override {}
};

// 0x0001..0xFFFE, every even number muted.
static SoundCatalogue& FullCatalogue() {
    static SoundCatalogue catalogue;
    static const bool filled = [] {
        auto edit = catalogue.BeginEdit();
        for (int n = 1; n <= 0xFFFE; ++n)
            edit.AddOrUpdate(n, "", n % 2 == 0, true);
        return true;
    }();
    (void)filled;
    return catalogue;
}

static std::vector<std::uint8_t> SoundPacket(std::uint16_t number) {
    return PlaySoundPacket(number);
}

// state.range(0): 0 = no handler installed, 1 = SoundObserver in slot 0x54 (auto-add off).
static void BM_PumpWithFake(benchmark::State& state) {
    const bool withObserver = state.range(0) == 1;
    SoundCatalogue& catalogue = FullCatalogue();
    ActiveDialog activeDialog;
    SilentDialog dialog;
    activeDialog.Publish(dialog);
    SoundObserver observer(catalogue, activeDialog);
    PacketHandlerTable table;
    if (withObserver)
        table.Install(0x54, observer);

    std::vector<std::vector<std::uint8_t>> packets;
    for (int i = 0; i < kBatch; ++i)
        packets.push_back(SoundPacket(static_cast<std::uint16_t>(1 + (i * 7919) % 0xFFFE)));

    std::size_t blocked = 0;
    for (auto _ : state) {
        state.PauseTiming();
        FakeHookLibrary library;
        for (const auto& packet : packets)
            library.PushPacket(packet);
        HookBridge bridge(library, table);
        state.ResumeTiming();

        bridge.Start();
        // Polled rather than waited on: a waiter would be woken by every single verdict.
        while (library.VerdictCount() < static_cast<std::size_t>(kBatch))
            std::this_thread::sleep_for(std::chrono::microseconds(200));

        state.PauseTiming();
        bridge.Stop();
        for (auto v : library.Verdicts())
            blocked += v;
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    state.counters["blocked"] = static_cast<double>(blocked) / static_cast<double>(state.iterations() * kBatch);
}
BENCHMARK(BM_PumpWithFake)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The bridge's own cost: a library that replays one packet with no locks or allocation.
class ReplayLibrary final : public HookLibrary {
public:
    explicit ReplayLibrary(std::vector<std::uint8_t> packet) : m_packet(std::move(packet)) {}
    std::uint8_t GetState() override { return 0; }
    std::uint32_t GetClientWindow() override { return 0; }
    bool GetEvent(Event& event) override {
        event.code = kPacketFromServer;
        event.packet = m_packet.data();
        event.length = m_packet.size();
        m_packet[3] = static_cast<std::uint8_t>(m_packet[3] + 1);
        return true;
    }
    void SetVerdict(std::uint32_t verdict) override {
        blocked.fetch_add(verdict, std::memory_order_relaxed);
        verdicts.fetch_add(1, std::memory_order_release);
    }
    void InjectToClient(const std::uint8_t*, std::size_t) override {}
    void InjectToServer(const std::uint8_t*, std::size_t) override {}

    std::atomic<std::uint64_t> verdicts{0};
    std::atomic<std::uint64_t> blocked{0};

private:
    std::vector<std::uint8_t> m_packet;
};

static void BM_PumpWithReplay(benchmark::State& state) {
    const bool withObserver = state.range(0) == 1;
    ActiveDialog activeDialog;
    SilentDialog dialog;
    activeDialog.Publish(dialog);
    SoundObserver observer(FullCatalogue(), activeDialog);
    PacketHandlerTable table;
    if (withObserver)
        table.Install(0x54, observer);
    ReplayLibrary library(SoundPacket(0x1234));
    HookBridge bridge(library, table);
    bridge.Start();

    std::uint64_t start = library.verdicts.load(std::memory_order_acquire);
    for (auto _ : state) {
        const std::uint64_t target = start + kBatch;
        while (library.verdicts.load(std::memory_order_acquire) < target)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        start = library.verdicts.load(std::memory_order_acquire);
    }
    bridge.Stop();
    state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_PumpWithReplay)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// SoundObserver alone: the mute decision for one packet, muted and unmuted alternating.
static void BM_SoundObserverHandlePacket(benchmark::State& state) {
    ActiveDialog activeDialog;
    SilentDialog dialog;
    activeDialog.Publish(dialog);
    SoundObserver observer(FullCatalogue(), activeDialog);
    FakeHookLibrary library;
    PacketHandlerTable table;
    HookBridge bridge(library, table); // never started
    std::vector<std::vector<std::uint8_t>> packets;
    for (int i = 0; i < 1024; ++i)
        packets.push_back(SoundPacket(static_cast<std::uint16_t>(1 + (i * 7919) % 0xFFFE)));
    std::size_t i = 0;
    for (auto _ : state) {
        const auto& packet = packets[i++ & 1023];
        bridge.currentPacket = PacketBytes(packet.data(), packet.size());
        bridge.verdict = 0;
        observer.HandlePacket(bridge);
        benchmark::DoNotOptimize(bridge.verdict);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SoundObserverHandlePacket);

static void BM_QueueAppendTake(benchmark::State& state) {
    FakeHookLibrary library;
    PacketHandlerTable table;
    HookBridge bridge(library, table); // never started
    const std::vector<std::uint8_t> bytes = SoundPacket(0x01F4);
    for (auto _ : state) {
        bridge.QueuePacket(bytes.data(), bytes.size());
        benchmark::DoNotOptimize(bridge.Queue().TakeOldest());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_QueueAppendTake);

BENCHMARK_MAIN();
