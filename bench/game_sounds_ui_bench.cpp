// The game's own sounds as the program uses them: naming every row of a full list through the
// background reader, what the attached folder costs in memory, and the time from a click on
// "このPCで試聴" to the first sample at the sound server.
//
// KESTRUNE_BENCH_UO_DATA names the folder to attach (tools/measure-game-sounds.sh makes a 200 MB
// one). The click-to-sound case needs a sound server whose sink "kestrune_test" can be recorded
// (tests/preview/with-null-sink.sh gives one); without it, it is skipped.
#include "GameSoundNames.h"
#include "SoundPreviewPlayer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

std::string Folder() {
    const char* folder = std::getenv("KESTRUNE_BENCH_UO_DATA");
    return folder ? folder : "";
}

double ResidentMiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtod(line.c_str() + 6, nullptr) / 1024.0;
    return 0;
}

bool Spin(const std::function<bool()>& done, int timeoutMs = 60000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// Every row of a full list (65,534 numbers) asked for its name as the list would show it, until
// each is known: the UI thread's part and the reader's, from the folder's opening on.
void BM_NameEveryRow(benchmark::State& state) {
    if (Folder().empty()) {
        state.SkipWithError("KESTRUNE_BENCH_UO_DATA is not set");
        return;
    }
    double before = 0, after = 0;
    for (auto _ : state) {
        before = ResidentMiB();
        GameSoundNames names;
        std::size_t named = 0;
        QObject::connect(&names, &GameSoundNames::Named,
                         [&named](const std::vector<std::uint16_t>& numbers) { named += numbers.size(); });
        names.SetFolder(Folder());
        for (std::uint32_t number = 1; number <= 0xFFFE; ++number)
            names.Describe(static_cast<std::uint16_t>(number));
        if (!Spin([&] { return named >= 0xFFFE; })) {
            state.SkipWithError("not every row was named");
            return;
        }
        after = ResidentMiB();
    }
    state.counters["rss_before_MiB"] = before;
    state.counters["rss_named_MiB"] = after;
}
BENCHMARK(BM_NameEveryRow)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// From Play to the first sample the server's monitor hears (its own latency, a few ms, included).
void BM_ClickToSound(benchmark::State& state) {
    SoundPreviewPlayer player;
    QSignalSpy output(&player, &SoundPreviewPlayer::OutputChanged);
    if (!player.HasOutput() && !output.wait(5000)) {
        state.SkipWithError("no audio output");
        return;
    }
    QProcess parec;
    parec.start(QStringLiteral("parec"),
                {QStringLiteral("-d"), QStringLiteral("kestrune_test.monitor"), QStringLiteral("--raw"),
                 QStringLiteral("--format=s16le"), QStringLiteral("--rate=22050"), QStringLiteral("--channels=1"),
                 QStringLiteral("--latency-msec=2")});
    if (!parec.waitForStarted(5000) || !parec.waitForReadyRead(5000)) {
        state.SkipWithError("cannot record the monitor");
        return;
    }
    const std::vector<std::int16_t> tone(SoundPreviewPlayer::kSampleRate / 5, 12000);
    QSignalSpy stopped(&player, &SoundPreviewPlayer::Stopped);
    for (auto _ : state) {
        parec.readAll();
        QElapsedTimer timer;
        timer.start();
        player.Play(1, tone);
        bool heard = false;
        while (!heard && timer.elapsed() < 5000) {
            parec.waitForReadyRead(1);
            const QByteArray bytes = parec.readAll();
            for (qsizetype i = 0; i + 1 < bytes.size(); i += 2)
                if (bytes[i] != 0 || bytes[i + 1] != 0) {
                    heard = true;
                    break;
                }
        }
        state.SetIterationTime(timer.nsecsElapsed() / 1e9);
        player.Stop();
        stopped.wait(2000);
        // Silence between sounds, so the next one starts from nothing.
        QElapsedTimer quiet;
        quiet.start();
        while (quiet.elapsed() < 200)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    parec.kill();
    parec.waitForFinished();
}
BENCHMARK(BM_ClickToSound)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(20);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
