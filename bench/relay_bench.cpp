// kestrune-relay's costs. The server-to-client path alone (decompress, cut into packets, compress
// each on its own) in MB/s of game data, beside a plain copy of the same compressed bytes; and the
// time a packet takes from the game server to the game client through the relay over loopback,
// watched (Kestrune attached, asked and answered) and unwatched, beside the same packet sent
// straight from one socket to another; and the world-entry burst, 120 packets of which four are
// watched, until the last reaches the client. p50 and p99 are counters in microseconds.
//
//   relay_bench --benchmark_filter=.

#include "GamePacket.h"
#include "ProgramSide.h"
#include "RelayHarness.h"

#include "BenchSupport.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <poll.h>
#include <random>

using namespace relaytest;
using Clock = std::chrono::steady_clock;

namespace {

// A busy stretch of game: mostly short fixed packets, some long variable ones, sounds and moves.
Bytes GameData(std::size_t bytes, std::vector<Bytes>* packets = nullptr) {
    std::mt19937 random(7);
    const PacketLengths lengths;
    const std::uint8_t ids[] = {0x1D, 0x2E, 0x77, 0x78, 0x88, 0xA1, 0xAE, 0xBF, 0xDC, 0x1A, 0x11, 0x54, 0x20, 0x22};
    Bytes all;
    while (all.size() < bytes) {
        const std::uint8_t id = ids[random() % std::size(ids)];
        std::size_t size = *lengths.Length(id);
        Bytes packet(size == 0 ? 3 + random() % 120 : size);
        for (auto& byte : packet)
            byte = static_cast<std::uint8_t>(random() % 16 == 0 ? random() : 0);
        packet[0] = id;
        if (size == 0) {
            packet[1] = static_cast<std::uint8_t>(packet.size() >> 8);
            packet[2] = static_cast<std::uint8_t>(packet.size());
        }
        all.insert(all.end(), packet.begin(), packet.end());
        if (packets)
            packets->push_back(std::move(packet));
    }
    return all;
}

Bytes CompressedStream(const std::vector<Bytes>& packets) {
    Bytes stream;
    HuffmanCompressor compressor;
    for (const auto& packet : packets)
        compressor.Feed(packet, stream);
    return stream;
}

void BM_ServerToClientPath(benchmark::State& state) {
    std::vector<Bytes> packets;
    const Bytes plain = GameData(4 << 20, &packets);
    const Bytes stream = CompressedStream(packets);
    Bytes decoded, out;
    for (auto _ : state) {
        HuffmanDecompressor decompressor;
        PacketCutter cutter;
        HuffmanCompressor compressor;
        out.clear();
        std::span<const std::uint8_t> rest(stream);
        // Socket-sized reads, as the relay gets them.
        while (!rest.empty()) {
            auto read = rest.first(std::min<std::size_t>(rest.size(), 64 << 10));
            rest = rest.subspan(read.size());
            while (!read.empty()) {
                decoded.clear();
                const auto progress = decompressor.FeedToEnd(read, decoded);
                read = read.subspan(progress.consumed);
                cutter.Feed(decoded, [&](std::span<const std::uint8_t> packet) { compressor.Feed(packet, out); });
            }
        }
        if (out != stream)
            state.SkipWithError("the path changed the stream");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * plain.size()));
    state.counters["compressed_ratio"] = static_cast<double>(stream.size()) / static_cast<double>(plain.size());
}
BENCHMARK(BM_ServerToClientPath)->Unit(benchmark::kMillisecond);

// What a relay that only passes bytes on does with the same stream: copies it. Bytes processed
// are counted as the game data it carries, as above.
void BM_PlainCopyOfTheStream(benchmark::State& state) {
    std::vector<Bytes> packets;
    const Bytes plain = GameData(4 << 20, &packets);
    const Bytes stream = CompressedStream(packets);
    Bytes out(stream.size());
    for (auto _ : state) {
        for (std::size_t at = 0; at < stream.size(); at += 64 << 10) {
            const std::size_t n = std::min<std::size_t>(stream.size() - at, 64 << 10);
            std::memcpy(out.data() + at, stream.data() + at, n);
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * plain.size()));
}
BENCHMARK(BM_PlainCopyOfTheStream)->Unit(benchmark::kMillisecond);

// Sends `packet` compressed from the server's end and times its arrival at the client's end.
void TimeArrivals(benchmark::State& state, Socket& server, Socket& client, const Bytes& packet) {
    const Bytes compressed = Compressed(packet);
    std::vector<double> micros;
    micros.reserve(1 << 16);
    for (auto _ : state) {
        const auto start = Clock::now();
        server.Send(compressed);
        if (client.ReceiveExactly(compressed.size()) != compressed) {
            state.SkipWithError("the packet came changed");
            break;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    ReportPercentiles(state, micros);
}

// The world-entry burst: 120 packets sent at once, two 0x20 and two 0x54 among them, timed until
// the last has reached the client. With events in flight together the four are asked about at
// once, and the burst waits about one round trip to Kestrune, not four.
void TimeBursts(benchmark::State& state, Socket& server, Socket& client, const Bytes&) {
    Bytes stream;
    for (std::uint8_t k = 0; k < 120; ++k) {
        Bytes packet;
        if (k == 10 || k == 70)
            packet = PlayerPacket(static_cast<std::uint16_t>(1000 + k), 1000, 0);
        else if (k == 30 || k == 90)
            packet = SoundPacket(static_cast<std::uint16_t>(0x0100 + k), 1000, 1000, 0);
        else
            packet = {0x1D, 0x40, 0x00, 0x00, k};
        const Bytes compressed = Compressed(packet);
        stream.insert(stream.end(), compressed.begin(), compressed.end());
    }
    std::vector<double> micros;
    for (auto _ : state) {
        const auto start = Clock::now();
        server.Send(stream);
        if (client.ReceiveExactly(stream.size()) != stream) {
            state.SkipWithError("the burst came changed");
            break;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    ReportPercentiles(state, micros);
}

using Timing = void (*)(benchmark::State&, Socket&, Socket&, const Bytes&);

void ThroughRelay(benchmark::State& state, const Bytes& packet, Timing timing = TimeArrivals) {
    char name[] = "/tmp/kestrune-relay-bench-XXXXXX";
    const std::string folder = mkdtemp(name);
    {
        ProgramSide program(folder + "/hook.sock");
        Listener login, game;
        RelayOptions options;
        options.shardHost = "127.0.0.1";
        options.shardPort = login.Port();
        options.hookSocket = folder + "/hook.sock";
        RelayRunner relay(options);
        if (!relay.WaitFor("attached to Kestrune")) {
            state.SkipWithError("Kestrune's side did not take the relay");
        } else {
            const Bytes key = {1, 2, 3, 4};
            Bytes gameLogin = key;
            const Bytes login91 = PlainLogin(0x91, "bench", "bench", 0x01020304);
            gameLogin.insert(gameLogin.end(), login91.begin(), login91.end());
            Bytes seedAndLogin = {127, 0, 0, 1};
            const Bytes login80 = PlainLogin(0x80, "bench", "bench");
            seedAndLogin.insert(seedAndLogin.end(), login80.begin(), login80.end());
            Game session = EnterGame(relay, login, game, seedAndLogin, gameLogin);
            timing(state, session.server, session.client, packet);
        }
    }
    std::filesystem::remove_all(folder);
}

void BM_WatchedPacketThroughRelay(benchmark::State& state) {
    ThroughRelay(state, SoundPacket(0x0123, 1000, 1000, 0)); // asked about, recorded, passed
}
BENCHMARK(BM_WatchedPacketThroughRelay)->Iterations(20000)->UseRealTime();

void BM_UnwatchedPacketThroughRelay(benchmark::State& state) {
    ThroughRelay(state, Bytes{0x1D, 0x40, 0x00, 0x12, 0x34}); // passes unasked
}
BENCHMARK(BM_UnwatchedPacketThroughRelay)->Iterations(20000)->UseRealTime();

void BM_WorldEntryBurstThroughRelay(benchmark::State& state) {
    ThroughRelay(state, {}, TimeBursts); // Kestrune's real side answers, as the program does
}
BENCHMARK(BM_WorldEntryBurstThroughRelay)->Iterations(2000)->UseRealTime();

// The same packet from one loopback socket straight to another: what the relay adds to.
void BM_PacketStraightOverLoopback(benchmark::State& state) {
    Listener listener;
    Socket client = Socket::Connect(listener.Port());
    Socket server = listener.Accept();
    TimeArrivals(state, server, client, SoundPacket(0x0123, 1000, 1000, 0));
}
BENCHMARK(BM_PacketStraightOverLoopback)->Iterations(20000)->UseRealTime();

// A relay that only copies bytes, in a thread of its own, as the relay is: the simplest thing
// that sits in the connection.
void BM_PacketThroughPlainForwarder(benchmark::State& state) {
    Listener serverListener, forwarderListener;
    std::atomic<bool> stop{false};
    std::thread forwarder([&] {
        Socket fromClient = forwarderListener.Accept();
        Socket toServer = Socket::Connect(serverListener.Port());
        pollfd fds[2] = {{fromClient.Fd(), POLLIN, 0}, {toServer.Fd(), POLLIN, 0}};
        Bytes buffer(64 << 10);
        while (!stop.load()) {
            if (poll(fds, 2, 100) <= 0)
                continue;
            for (int k = 0; k < 2; ++k) {
                if (fds[k].revents == 0)
                    continue;
                const ssize_t got = recv(fds[k].fd, buffer.data(), buffer.size(), 0);
                if (got <= 0)
                    return;
                (k == 0 ? toServer : fromClient).Send(std::span(buffer).first(static_cast<std::size_t>(got)));
            }
        }
    });
    {
        Socket client = Socket::Connect(forwarderListener.Port());
        Socket server = serverListener.Accept();
        TimeArrivals(state, server, client, SoundPacket(0x0123, 1000, 1000, 0));
        stop.store(true);
    }
    forwarder.join();
}
BENCHMARK(BM_PacketThroughPlainForwarder)->Iterations(20000)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
