// The hook socket's latency: an EVENT's round trip to its VERDICT (what every packet of the game
// waits for), and the Play command's way from the UI thread to both INJECT frames at the peer.
// Each round trip is timed on its own; p50 and p99 are reported as counters in microseconds.
// Then its throughput: a peer that keeps 1, 8, 128 or 10,000 events outstanding, through the
// real pump and the sound observer.
//
//   socket_bench --benchmark_filter=.

#include "HookBridge.h"
#include "ActiveDialog.h"
#include "SoundCatalogue.h"
#include "SoundObserver.h"
#include "HookProtocol.h"
#include "PacketHandler.h"
#include "PlayCommand.h"
#include "PlayerPosition.h"
#include "SocketHookLibrary.h"

#include "BenchSupport.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;

static int ConnectPeer(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof(address.sun_path) - 1);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

static bool SendAll(int fd, const std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        const ssize_t sent = send(fd, data, length, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        data += sent;
        length -= static_cast<std::size_t>(sent);
    }
    return true;
}

// The floor under every figure here: two threads passing an EVENT-sized and a VERDICT-sized
// message back and forth over a socket pair, with nothing else in the way. This machine's cost of
// waking a thread, measured in the same run.
static void BM_BareSocketPingPong(benchmark::State& state) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        state.SkipWithError("socketpair");
        return;
    }
    std::thread echo([&] {
        std::uint8_t buffer[32];
        while (recv(pair[1], buffer, 25, MSG_WAITALL) == 25)
            send(pair[1], buffer, 9, MSG_NOSIGNAL);
    });
    std::vector<double> micros;
    micros.reserve(1 << 16);
    std::uint8_t buffer[32] = {};
    for (auto _ : state) {
        const auto start = Clock::now();
        if (send(pair[0], buffer, 25, MSG_NOSIGNAL) != 25 || recv(pair[0], buffer, 9, MSG_WAITALL) != 9) {
            state.SkipWithError("the echo stopped");
            break;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    shutdown(pair[0], SHUT_RDWR);
    echo.join();
    close(pair[0]);
    close(pair[1]);
    ReportPercentiles(state, micros);
}
BENCHMARK(BM_BareSocketPingPong)->UseRealTime();

// The program's end of the socket in a folder of its own, removed again when the benchmark ends.
struct ListeningProgram {
    std::string path = TempSocketPath();
    std::string error;
    std::unique_ptr<SocketHookLibrary> library = SocketHookLibrary::Open(path, error);

    ~ListeningProgram() {
        library.reset();
        std::filesystem::remove_all(std::filesystem::path(path).parent_path());
    }
};

// Connects a peer with a client window and waits until the program has it (-1: it did not come).
static int AttachPeer(SocketHookLibrary& library, const std::string& path) {
    const int peer = ConnectPeer(path);
    const auto hello = EncodeHello(0x00C0FFEE);
    const auto attachedBy = Clock::now() + std::chrono::seconds(10);
    if (peer >= 0 && SendAll(peer, hello.data(), hello.size()))
        while (library.GetClientWindow() == 0 && Clock::now() < attachedBy)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return peer;
}

// Blocks until the next frame from the program other than WATCH is in.
static bool ReadFrame(int fd, FrameReader& reader, Frame& frame) {
    for (;;) {
        const auto result = reader.Next(frame);
        if (result == FrameReader::Result::Frame && frame.type == FrameType::Watch)
            continue;
        if (result == FrameReader::Result::Frame)
            return true;
        if (result == FrameReader::Result::Error)
            return false;
        const auto space = reader.WritableSpace();
        const ssize_t got = recv(fd, space.data(), space.size(), 0);
        if (got <= 0)
            return false;
        reader.Commit(static_cast<std::size_t>(got));
    }
}

static void BM_EventVerdictRoundTrip(benchmark::State& state) {
    ListeningProgram program;
    if (!program.library) {
        state.SkipWithError(program.error.c_str());
        return;
    }
    const std::string& path = program.path;
    auto& library = program.library;
    std::atomic<bool> stop{false};
    std::thread pump([&] {
        while (!stop.load()) {
            HookLibrary::Event event;
            const bool delivered = library->GetEvent(event);
            library->GetState();
            if (delivered)
                library->SetVerdict(event.length > 3 && event.packet[3] == 0xF4 ? 1 : 0);
        }
    });
    const int peer = ConnectPeer(path);
    const auto hello = EncodeHello(0x00C0FFEE);
    const std::uint8_t sound[12] = {0x54, 0x01, 0x01, 0xF4, 0, 0, 0x04, 0xD2, 0x02, 0x37, 0, 8};
    const auto event = EncodeEvent(kPacketFromServer, 0, sound);
    FrameReader reader(FrameSender::Program);
    std::vector<double> micros;
    micros.reserve(1 << 16);
    if (peer < 0 || !SendAll(peer, hello.data(), hello.size())) {
        state.SkipWithError("cannot connect");
    } else {
        for (auto _ : state) {
            const auto start = Clock::now();
            Frame frame;
            if (!SendAll(peer, event.data(), event.size()) || !ReadFrame(peer, reader, frame) ||
                frame.type != FrameType::Verdict || frame.verdict != 1) {
                state.SkipWithError("no verdict");
                break;
            }
            micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
    }
    ReportPercentiles(state, micros);
    if (peer >= 0)
        close(peer);
    stop = true;
    library->Wake();
    pump.join();
}
BENCHMARK(BM_EventVerdictRoundTrip)->UseRealTime();

// The Play command through the real bridge and its injection thread. With a peer that reads: from
// RunPlayCommand on the calling (UI) thread until the peer holds both INJECT frames (the 0xAE
// message and the 0x54 sound). With a peer that reads nothing at all and a full socket:
// RunPlayCommand alone, what the user waits for after pressing Play whatever the game side does.
static void BM_PlayCommand(benchmark::State& state, bool peerReads) {
    ListeningProgram program;
    if (!program.library) {
        state.SkipWithError(program.error.c_str());
        return;
    }
    const std::string& path = program.path;
    auto& library = program.library;
    PacketHandlerTable handlers;
    PlayerPosition position;
    position.Store({1234, 567, 8});
    std::vector<double> micros;
    micros.reserve(1 << 16);
    {
        HookBridge bridge(*library, handlers);
        bridge.Start();
        const int peer = AttachPeer(*library, path);
        FrameReader reader(FrameSender::Program);
        if (!peerReads) {
            const std::vector<std::uint8_t> filler(60'000, 0x41);
            for (int i = 0; i < 20; ++i) // well past what the kernel holds
                library->InjectToClient(filler.data(), filler.size());
        }
        for (auto _ : state) {
            const auto start = Clock::now();
            if (!RunPlayCommand(bridge, *library, position, "3a")) {
                state.SkipWithError("no client window");
                break;
            }
            int injects = peerReads ? 0 : 2;
            Frame frame;
            while (injects < 2 && ReadFrame(peer, reader, frame))
                injects += frame.type == FrameType::Inject ? 1 : 0;
            if (injects < 2) {
                state.SkipWithError("the injections did not arrive");
                break;
            }
            micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
        if (peer >= 0)
            close(peer);
        bridge.Stop();
    }
    ReportPercentiles(state, micros);
}
BENCHMARK_CAPTURE(BM_PlayCommand, ToInjectsAtAReadingPeer, true)->UseRealTime();
BENCHMARK_CAPTURE(BM_PlayCommand, WithAPeerNotReading, false)->Iterations(10'000)->UseRealTime();

// Events through the bridge's pump to the sound observer (a catalogue of one muted sound, no
// dialog), with `outstanding` events sent ahead of their verdicts; items per second = events.
static void BM_PipelinedEvents(benchmark::State& state) {
    const auto outstanding = static_cast<std::size_t>(state.range(0));
    constexpr std::size_t kPerIteration = 20'000;
    ListeningProgram program;
    if (!program.library) {
        state.SkipWithError(program.error.c_str());
        return;
    }
    const std::string& path = program.path;
    auto& library = program.library;
    SoundCatalogue catalogue;
    catalogue.AddOrUpdate(0x01F4, "", true, false, false, nullptr);
    ActiveDialog activeDialog;
    SoundObserver observer(catalogue, activeDialog);
    PacketHandlerTable handlers;
    handlers.SetWatchListener(library.get());
    handlers.Install(0x54, observer);
    {
        HookBridge bridge(*library, handlers);
        bridge.Start();
        const int peer = ConnectPeer(path);
        const std::uint8_t sound[12] = {0x54, 0x01, 0x01, 0xF4, 0, 0, 0x04, 0xD2, 0x02, 0x37, 0, 8};
        const auto event = EncodeEvent(kPacketFromServer, 0, sound);
        FrameReader reader(FrameSender::Program);
        std::vector<std::uint8_t> batch;
        bool failed = peer < 0;
        for (auto _ : state) {
            std::size_t sent = 0, answered = 0;
            while (!failed && answered < kPerIteration) {
                // Top the window up in one write, then take whatever verdicts are in.
                batch.clear();
                while (sent < kPerIteration && sent - answered < outstanding) {
                    batch.insert(batch.end(), event.begin(), event.end());
                    ++sent;
                }
                if (!batch.empty() && !SendAll(peer, batch.data(), batch.size()))
                    failed = true;
                Frame frame;
                do {
                    if (!ReadFrame(peer, reader, frame)) {
                        failed = true;
                        break;
                    }
                    answered += frame.type == FrameType::Verdict ? 1 : 0;
                } while (reader.HasFrame());
            }
            if (failed) {
                state.SkipWithError("the program stopped answering");
                break;
            }
        }
        state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kPerIteration));
        if (peer >= 0)
            close(peer);
        bridge.Stop();
    }
    handlers.Uninstall(0x54);
}
BENCHMARK(BM_PipelinedEvents)->Arg(1)->Arg(8)->Arg(128)->Arg(10'000)->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
