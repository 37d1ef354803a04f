// The ClassicUO plugin on the client's main thread, called through the header's function pointers
// the way the client calls it, with Kestrune's real side of the socket attached (watching 0x20 and
// 0x54 as it does while its window is open). The floor of each figure is measured beside it: a
// callback that only returns true, and a bare blocking peer's EVENT round trip to the same program.
// Round trips are timed one by one; p50 and p99 are counters in microseconds.
//
//   classicuo_bench --benchmark_filter=.

#include "ClassicUoHost.h"
#include "GamePacket.h"
#include "HookProtocol.h"
#include "ProgramSide.h"

#include "BenchSupport.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using Clock = std::chrono::steady_clock;

namespace {

// Kestrune and a client with the plugin in it, attached to each other.
class Game {
public:
    Game() : m_path(TempSocketPath("kestrune-classicuo-bench")) {
        setenv("KESTRUNE_HOOK_SOCKET", m_path.c_str(), 1);
        m_program = std::make_unique<ProgramSide>(m_path);
        m_host = std::make_unique<ClassicUoHost>(ClassicUoHost::PluginPath(KESTRUNE_CLASSICUO_PLUGIN));
        const auto until = Clock::now() + std::chrono::seconds(10);
        while (m_program->Position().Load().x != 77 && Clock::now() < until) {
            m_host->FromServer(PlayerPacket(77, 1, 0));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        m_attached = m_program->Position().Load().x == 77;
    }
    ~Game() {
        m_host.reset();
        m_program.reset();
        std::filesystem::remove_all(std::filesystem::path(m_path).parent_path());
    }
    bool Attached() const { return m_attached; }
    ClassicUoHost& Host() { return *m_host; }

private:
    std::string m_path;
    std::unique_ptr<ProgramSide> m_program;
    std::unique_ptr<ClassicUoHost> m_host;
    bool m_attached = false;
};

bool PassAlways(std::uint8_t*, std::int32_t*) {
    return true;
}

// A packet through a callback: what the client pays for every packet of every plugin.
void CallEach(benchmark::State& state, ClassicUoHost::PacketFn callback, std::vector<std::uint8_t> packet) {
    for (auto _ : state) {
        auto length = static_cast<std::int32_t>(packet.size());
        benchmark::DoNotOptimize(callback(packet.data(), &length));
        benchmark::ClobberMemory();
    }
}

} // namespace

static void BM_EmptyCallback(benchmark::State& state) {
    ClassicUoHost::PacketFn callback = &PassAlways;
    benchmark::DoNotOptimize(callback); // called through the pointer, as the client calls
    CallEach(state, callback, {0x22, 0x01, 0x00});
}
BENCHMARK(BM_EmptyCallback);

static void BM_UnwatchedPacket(benchmark::State& state) {
    Game game;
    if (!game.Attached())
        return state.SkipWithError("the plugin did not attach");
    CallEach(state, game.Host().RecvCallback(), {0x22, 0x01, 0x00}); // a walk confirmation
}
BENCHMARK(BM_UnwatchedPacket);

static void BM_TickWithNothingQueued(benchmark::State& state) {
    Game game;
    if (!game.Attached())
        return state.SkipWithError("the plugin did not attach");
    for (auto _ : state)
        game.Host().Tick();
}
BENCHMARK(BM_TickWithNothingQueued);

static void BM_WatchedPacket(benchmark::State& state) {
    Game game;
    if (!game.Attached())
        return state.SkipWithError("the plugin did not attach");
    const auto callback = game.Host().RecvCallback();
    auto packet = SoundPacket(0x0120, 77, 1, 0);
    std::vector<double> micros;
    micros.reserve(1 << 17);
    for (auto _ : state) {
        const auto start = Clock::now();
        auto length = static_cast<std::int32_t>(packet.size());
        benchmark::DoNotOptimize(callback(packet.data(), &length));
        const auto took = Clock::now() - start;
        micros.push_back(std::chrono::duration<double, std::micro>(took).count());
        state.SetIterationTime(std::chrono::duration<double>(took).count());
        // A packet a frame, as a game plays them: back to back, the asks would spend the plugin's
        // budget of waiting per second and be left unasked.
        game.Host().Tick();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ReportPercentiles(state, micros);
}
BENCHMARK(BM_WatchedPacket)->UseManualTime()->Iterations(3000);

// The same program and packet with the simplest peer there is: a blocking socket that writes the
// EVENT and reads until the VERDICT is in.
static void BM_BarePeerRoundTrip(benchmark::State& state) {
    const std::string path = TempSocketPath("kestrune-classicuo-bench");
    {
        ProgramSide program(path);
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof(address.sun_path) - 1);
        if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            close(fd);
            return state.SkipWithError("cannot connect");
        }
        const auto hello = EncodeHello(0);
        (void)!send(fd, hello.data(), hello.size(), MSG_NOSIGNAL);
        const auto event = EncodeEvent(kEventFromServer, 0, SoundPacket(0x0120, 77, 1, 0));
        FrameReader reader(FrameSender::Program);
        std::vector<double> micros;
        micros.reserve(1 << 17);
        for (auto _ : state) {
            const auto start = Clock::now();
            if (send(fd, event.data(), event.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(event.size()))
                return state.SkipWithError("cannot send");
            for (bool answered = false; !answered;) {
                Frame frame;
                const auto result = reader.Next(frame);
                if (result == FrameReader::Result::Frame) {
                    answered = frame.type == FrameType::Verdict;
                    continue;
                }
                const auto space = reader.WritableSpace();
                const ssize_t got = result == FrameReader::Result::Error ? -1 : recv(fd, space.data(), space.size(), 0);
                if (got <= 0)
                    return state.SkipWithError("no verdict");
                reader.Commit(static_cast<std::size_t>(got));
            }
            micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
        close(fd);
        ReportPercentiles(state, micros);
    }
    std::filesystem::remove_all(std::filesystem::path(path).parent_path());
}
BENCHMARK(BM_BarePeerRoundTrip)->UseRealTime();

BENCHMARK_MAIN();
