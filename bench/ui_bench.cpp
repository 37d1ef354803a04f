// The dialog's costs with a full catalogue (65,534 sounds, 20-character Japanese comments). Offscreen
// by default; under tools/bench-ui-desktop.sh on a real X window, with and without the desktop's
// accessibility bus.
// - one auto-added sound end to end, each timed on its own (p50, p99, max in microseconds):
//   through the in-process fake hook, and through the hook socket (the EVENT frame sent by a peer
//   until its VERDICT frame is back), for a new sound appended and a listed one moved to the end;
//   beside it the UI thread's CPU time per recorded sound over the run;
// - the UI thread's work for one recorded sound on its own (recording, showing the last row,
//   painting), appended and moved to the end;
// - the heap held for the full catalogue shown in the list;
// - a flood of 200 sounds a second with auto-add on: the UI thread's share of one core;
// - verdicts every 2 ms over the socket while the UI thread saves (unsorted, sorted) or loads the
//   65,534 entries: the longest wait during those, beside the longest with the UI thread idle in
//   the same run (the floor);
// - the verdict for a muted or an unknown sound while the UI thread is blocked (it waits on the
//   fake library without looking at its events), auto-add on: no verdict needs the UI thread.

#include "DialogFixture.h"
#include "HookProtocol.h"
#include "SocketHookLibrary.h"

#include <QApplication>
#include <QCheckBox>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <malloc.h>
#include <random>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using Clock = std::chrono::steady_clock;

static constexpr std::uint16_t kLastNumber = 0xFFFE;

// New sounds for the end-to-end runs: the last numbers are left out of the catalogue and played
// one after another, so it holds 63,535 entries at the first and 65,534 at the last.
static constexpr std::uint16_t kNewSounds = 2000;
static constexpr std::uint16_t kFirstNewSound = kLastNumber - kNewSounds + 1;

// 20 Japanese characters, narrow in the benchmark's UTF-8 locale.
static const std::string kComment = "効果音の説明文を二十文字で書いた例ですよね";

// Every storable number below `end`, in number order; every 97th muted.
static void FillCatalogue(SoundCatalogue& catalogue, std::uint32_t end = kLastNumber + 1) {
    for (std::uint32_t number = 1; number < end; ++number)
        catalogue.AddOrUpdate(static_cast<std::int32_t>(number), kComment, number % 97 == 0, true, false, nullptr);
}

static double ThreadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

static void TickBox(CKestruneDlg& dialog, const char* box) {
    dialog.findChild<QCheckBox*>(QString::fromLatin1(box))->click();
}

static void ReportPercentiles(benchmark::State& state, std::vector<double>& micros) {
    if (micros.empty())
        return;
    std::sort(micros.begin(), micros.end());
    const auto at = [&](double q) {
        return micros[static_cast<std::size_t>(q * static_cast<double>(micros.size() - 1))];
    };
    state.counters["p50_us"] = at(0.50);
    state.counters["p99_us"] = at(0.99);
    state.counters["max_us"] = micros.back();
}

// The tests' program around one dialog, the catalogue filled.
struct Program : DialogFixture {
    explicit Program(std::uint32_t end = kLastNumber + 1) {
        FillCatalogue(catalogue, end);
        dialog->RebuildSoundList();
        QCoreApplication::processEvents();
    }

    // Pushes one sound packet and waits for its verdict; the UI thread serves the pump meanwhile
    // only when `serveUi`.
    std::uint32_t PlayOne(std::uint16_t number, bool serveUi) {
        const std::size_t wanted = hook.VerdictCount() + 1;
        hook.PushPacket(SoundPacket(number));
        if (serveUi) {
            while (hook.VerdictCount() < wanted)
                QCoreApplication::processEvents();
        } else {
            hook.WaitForVerdicts(wanted);
        }
        return hook.Verdicts().back();
    }
};

// The same program on the hook socket, with the game's side of it in the benchmark.
class SocketProgram {
public:
    // Null when the socket cannot be set up.
    static std::unique_ptr<SocketProgram> Open(std::uint32_t end) {
        char folder[] = "/tmp/kestrune-ui-bench-XXXXXX";
        if (mkdtemp(folder) == nullptr)
            return nullptr;
        std::string error;
        auto library = SocketHookLibrary::Open(std::string(folder) + "/hook.sock", error);
        if (!library) {
            std::filesystem::remove_all(folder);
            return nullptr;
        }
        auto program = std::unique_ptr<SocketProgram>(new SocketProgram(folder, std::move(library), end));
        return program->Attach() ? std::move(program) : nullptr;
    }
    ~SocketProgram() {
        dialog.reset();
        if (m_peer >= 0)
            close(m_peer);
        m_hook.Stop();
        std::filesystem::remove_all(m_folder);
    }

    // Sends the EVENT of one sound packet and waits for its VERDICT (not on the UI thread, unless the
    // sound needs nothing of it).
    std::uint32_t PlayOne(std::uint16_t number) {
        const auto event = EncodeEvent(kPacketFromServer, 0, SoundPacket(number));
        if (!Send(event.data(), event.size()))
            return kNoVerdict;
        for (;;) {
            Frame frame;
            const auto result = m_reader.Next(frame);
            if (result == FrameReader::Result::Error)
                return kNoVerdict;
            if (result == FrameReader::Result::Frame) {
                if (frame.type == FrameType::Verdict)
                    return frame.verdict;
                continue;
            }
            const auto space = m_reader.WritableSpace();
            const ssize_t got = recv(m_peer, space.data(), space.size(), 0);
            if (got > 0)
                m_reader.Commit(static_cast<std::size_t>(got));
            else if (got == 0 || errno != EINTR)
                return kNoVerdict;
        }
    }

    static constexpr std::uint32_t kNoVerdict = 0xFFFFFFFFu;

private:
    std::string m_folder;
    std::unique_ptr<SocketHookLibrary> m_library;
    HookSide m_hook{*m_library, m_library.get()};

public:
    SoundCatalogue& catalogue = m_hook.catalogue;
    std::unique_ptr<CKestruneDlg> dialog;

private:
    SocketProgram(std::string folder, std::unique_ptr<SocketHookLibrary> library, std::uint32_t end)
        : m_folder(std::move(folder)), m_library(std::move(library)) {
        dialog = std::make_unique<CKestruneDlg>(m_services);
        dialog->OnInitDialog(); // clears the catalogue
        dialog->show();
        FillCatalogue(catalogue, end);
        dialog->RebuildSoundList();
    }

    bool Attach() {
        m_peer = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        m_library->Path().copy(address.sun_path, sizeof(address.sun_path) - 1);
        if (m_peer < 0 || connect(m_peer, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
            return false;
        const auto hello = EncodeHello(0);
        // A first sound, muted, proves the peer attached (its verdict comes back without the UI).
        return Send(hello.data(), hello.size()) && PlayOne(97) == 1;
    }

    bool Send(const std::uint8_t* data, std::size_t length) {
        while (length > 0) {
            const ssize_t sent = send(m_peer, data, length, MSG_NOSIGNAL);
            if (sent <= 0)
                return false;
            data += sent;
            length -= static_cast<std::size_t>(sent);
        }
        return true;
    }

    DialogServices m_services{m_hook, *m_library};
    int m_peer = -1;
    FrameReader m_reader{FrameSender::Program};
};

// Which sound an end-to-end iteration plays.
enum Played : int {
    kNewSound = 0,    // not listed: appended (the catalogue then holds 63,535 to 65,534)
    kListedMoves = 1, // listed, move-to-end on: a row from anywhere in the list moves to the end
};

static const char* PlayedName(int played) {
    return played == kNewSound ? "new sound appended" : "listed, moves to end";
}

// Where the catalogue of a run ends: before the new sounds, or full.
static std::uint32_t CatalogueEnd(int played) {
    return played == kNewSound ? kFirstNewSound : kLastNumber + 1;
}

// The sound iteration `i` plays: a new one, or a listed unmuted one spread over the whole list.
static std::uint16_t SoundToPlay(int played, int i) {
    if (played == kNewSound)
        return static_cast<std::uint16_t>(kFirstNewSound + i % kNewSounds);
    std::uint32_t number = 1 + (static_cast<std::uint32_t>(i) * 40503u) % kLastNumber;
    if (number % 97 == 0)
        ++number; // never a muted one
    return static_cast<std::uint16_t>(number);
}

static void SetUpAutoAdd(CKestruneDlg& dialog, bool moveToEnd) {
    if (moveToEnd)
        TickBox(dialog, "moveToEndCheckBox");
    TickBox(dialog, "autoAddCheckBox"); // reads the move-to-end box as well
}

// Runs the UI thread's ordinary event loop until `done` holds (looked at every 5 ms).
template <class Done> static void RunEventLoopUntil(Done&& done) {
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    poll.start(5);
    loop.exec();
}

// One sound at a time from the game's side on its own thread, a few milliseconds apart, while the
// UI thread runs its ordinary event loop (recording and painting included); each sound timed from
// its EVENT to its VERDICT. `play(number)` runs on the game's thread and gives the verdict. Beside
// it, the UI thread's CPU time over the run per sound recorded.
template <class Play> static void EndToEnd(benchmark::State& state, CKestruneDlg& dialog, Play&& play) {
    constexpr int kSounds = 1000;
    constexpr auto kApart = std::chrono::milliseconds(4);
    const int played = static_cast<int>(state.range(0));
    SetUpAutoAdd(dialog, played == kListedMoves);
    std::vector<double> micros;
    micros.reserve(kSounds);
    std::atomic<bool> blocked{false};
    double uiCpu = 0;
    for (auto _ : state) {
        std::atomic<bool> done{false};
        std::thread game([&] {
            for (int i = 0; i < kSounds && !blocked; ++i) {
                const auto start = Clock::now();
                blocked = play(SoundToPlay(played, i)) != 0;
                micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
                std::this_thread::sleep_for(kApart);
            }
            done = true;
        });
        const double cpu = ThreadCpuSeconds();
        RunEventLoopUntil([&] { return done && dialog.PlayedSounds().Waiting() == 0; });
        QCoreApplication::processEvents(); // a last run of the recording
        uiCpu += ThreadCpuSeconds() - cpu;
        game.join();
    }
    const SoundListModel& model = dialog.ListModel();
    if (blocked)
        state.SkipWithError("an unmuted sound was blocked");
    else if (model.Row(model.rowCount() - 1).number != SoundToPlay(played, kSounds - 1))
        state.SkipWithError("the last sound played is not the list's last row");
    state.SetLabel(PlayedName(played));
    state.counters["rows"] = model.rowCount();
    state.counters["ui_cpu_per_sound_us"] = uiCpu * 1e6 / static_cast<double>(kSounds * state.iterations());
    ReportPercentiles(state, micros);
}

// The in-process fake hook: EVENT pushed, the pump's verdict recorded.
static void BM_AutoAddEndToEnd(benchmark::State& state) {
    Program program(CatalogueEnd(static_cast<int>(state.range(0))));
    EndToEnd(state, *program.dialog, [&](std::uint16_t number) { return program.PlayOne(number, false); });
}
BENCHMARK(BM_AutoAddEndToEnd)
    ->ArgName("played")
    ->DenseRange(kNewSound, kListedMoves)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The hook socket: an EVENT frame from the peer until its VERDICT frame is back at the peer.
static void BM_AutoAddOverSocket(benchmark::State& state) {
    const auto program = SocketProgram::Open(CatalogueEnd(static_cast<int>(state.range(0))));
    if (!program) {
        state.SkipWithError("the hook socket could not be set up");
        return;
    }
    EndToEnd(state, *program->dialog, [&](std::uint16_t number) { return program->PlayOne(number); });
}
BENCHMARK(BM_AutoAddOverSocket)
    ->ArgName("played")
    ->DenseRange(kNewSound, kListedMoves)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The UI thread's work for one recorded sound on its own: the catalogue change with the list's
// announcement, the last row shown, the list painted.
static void BM_RecordOneSound(benchmark::State& state) {
    const int played = static_cast<int>(state.range(0));
    Program program(CatalogueEnd(played));
    SetUpAutoAdd(*program.dialog, played == kListedMoves);
    QWidget& list = *program.dialog->findChild<QWidget*>(QStringLiteral("soundList"));
    std::vector<double> micros;
    int i = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        program.dialog->AutoAddPlayedSound(SoundToPlay(played, i++));
        program.dialog->RebuildSoundList();
        list.repaint();
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    state.SetLabel(PlayedName(played));
    state.counters["rows"] = program.dialog->ListModel().rowCount();
    ReportPercentiles(state, micros);
}
BENCHMARK(BM_RecordOneSound)
    ->ArgName("played")
    ->DenseRange(kNewSound, kListedMoves)
    ->Iterations(kNewSounds)
    ->Unit(benchmark::kMicrosecond);

// 200 sounds a second for five seconds, drawn from all numbers, with auto-add and move-to-end on;
// the UI thread runs its ordinary event loop meanwhile. Arg: rows listed at the start (a full
// catalogue, or a list as a player's grows it, where most sounds are new). Reports the UI thread's
// CPU time over the wall time (1.0: a whole core).
static void BM_FloodUiThreadCpu(benchmark::State& state) {
    Program program;
    const auto startRows = static_cast<std::uint32_t>(state.range(0));
    for (std::uint32_t number = startRows + 1; number <= kLastNumber; ++number)
        program.catalogue.Remove(static_cast<std::int32_t>(number));
    program.dialog->RebuildSoundList();
    SetUpAutoAdd(*program.dialog, true);
    constexpr int kSounds = 1000;
    constexpr auto kInterval = std::chrono::milliseconds(5);
    double share = 0;
    for (auto _ : state) {
        const std::size_t first = program.hook.VerdictCount();
        std::atomic<bool> fed{false};
        std::thread feeder([&] {
            std::mt19937 random(5);
            auto next = Clock::now();
            for (int i = 0; i < kSounds; ++i) {
                program.hook.PushPacket(SoundPacket(static_cast<std::uint16_t>(1 + random() % kLastNumber)));
                next += kInterval;
                std::this_thread::sleep_until(next);
            }
            fed = true;
        });
        const double cpu = ThreadCpuSeconds();
        const auto wall = Clock::now();
        RunEventLoopUntil([&] {
            return fed && program.hook.VerdictCount() >= first + kSounds &&
                   program.dialog->PlayedSounds().Waiting() == 0;
        });
        share = (ThreadCpuSeconds() - cpu) / std::chrono::duration<double>(Clock::now() - wall).count();
        feeder.join();
    }
    state.counters["ui_core_share"] = share;
    state.counters["rows_at_end"] = program.dialog->ListModel().rowCount();
}
BENCHMARK(BM_FloodUiThreadCpu)
    ->ArgName("rows")
    ->Arg(2000)
    ->Arg(65534)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

// The heap the program holds for a full catalogue shown in the list: the catalogue (the only copy
// of the entries), the list's model and view. Measured as the heap in use before and after.
static void BM_LiveData(benchmark::State& state) {
    for (auto _ : state) {
        const std::size_t before = mallinfo2().uordblks;
        Program program;
        QCoreApplication::processEvents();
        state.counters["live_mib"] = static_cast<double>(mallinfo2().uordblks - before) / (1 << 20);
        state.counters["rows"] = program.dialog->ListModel().rowCount();
    }
}
BENCHMARK(BM_LiveData)->Iterations(1)->Unit(benchmark::kMillisecond);

// What the UI thread does while the verdicts flow.
enum FileWork : int { kSaveUnsorted = 0, kSaveSorted = 1, kLoad = 2 };

static const char* FileWorkName(int work) {
    return work == kSaveUnsorted ? "save, unsorted" : work == kSaveSorted ? "save, sorted" : "load";
}

// A sound every 2 ms over the socket with auto-add and move-to-end on, while the UI thread first
// idles for a second (the floor), then saves or loads the 65,534 entries again and again. The
// longest verdict wait overlapping a save or a load, beside the longest while idle.
static void BM_VerdictsDuringSaveOrLoad(benchmark::State& state) {
    const int work = static_cast<int>(state.range(0));
    const auto program = SocketProgram::Open(kLastNumber + 1);
    QTemporaryDir folder;
    if (!program || !folder.isValid()) {
        state.SkipWithError("the hook socket or the folder could not be set up");
        return;
    }
    CKestruneDlg& dialog = *program->dialog;
    const QString path = folder.filePath(QStringLiteral("sounds.xml"));
    if (!dialog.SaveCatalogueFile(path)) {
        state.SkipWithError("the catalogue could not be saved");
        return;
    }
    if (work == kSaveSorted)
        TickBox(dialog, "sortOnSaveCheckBox");
    SetUpAutoAdd(dialog, true);

    struct Wait {
        Clock::time_point start, end;
    };
    std::vector<Wait> waits;
    std::vector<Wait> busy; // the UI thread's saves and loads
    for (auto _ : state) {
        std::atomic<bool> stop{false};
        std::thread game([&] {
            for (int i = 0; !stop; ++i) {
                const auto start = Clock::now();
                if (program->PlayOne(SoundToPlay(kListedMoves, i)) == SocketProgram::kNoVerdict)
                    break;
                waits.push_back({start, Clock::now()});
                std::this_thread::sleep_until(start + std::chrono::milliseconds(2));
            }
        });
        const auto idleUntil = Clock::now() + std::chrono::seconds(1);
        RunEventLoopUntil([&] { return Clock::now() >= idleUntil; });
        for (int round = 0; round < 6; ++round) {
            const auto start = Clock::now();
            const bool done = work == kLoad ? dialog.LoadCatalogueFile(path) : dialog.SaveCatalogueFile(path);
            busy.push_back({start, Clock::now()});
            if (!done)
                state.SkipWithError("a save or a load failed");
            const auto settled = Clock::now() + std::chrono::milliseconds(150);
            RunEventLoopUntil([&] { return Clock::now() >= settled; });
        }
        stop = true;
        game.join();
    }
    const Clock::time_point idleEnd = busy.empty() ? Clock::now() : busy.front().start;
    std::vector<double> during;
    double floorMax = 0;
    for (const Wait& wait : waits) {
        const double micros = std::chrono::duration<double, std::micro>(wait.end - wait.start).count();
        if (wait.end < idleEnd) {
            floorMax = std::max(floorMax, micros);
            continue;
        }
        const bool overlaps = std::any_of(busy.begin(), busy.end(),
                                          [&](const Wait& b) { return wait.start < b.end && b.start < wait.end; });
        if (overlaps)
            during.push_back(micros);
    }
    double busyMs = 0;
    for (const Wait& b : busy)
        busyMs += std::chrono::duration<double, std::milli>(b.end - b.start).count();
    state.SetLabel(FileWorkName(work));
    state.counters["floor_max_us"] = floorMax;
    state.counters["during"] = static_cast<double>(during.size());
    state.counters["ui_work_ms"] = busy.empty() ? 0 : busyMs / static_cast<double>(busy.size());
    ReportPercentiles(state, during);
}
BENCHMARK(BM_VerdictsDuringSaveOrLoad)
    ->ArgName("work")
    ->DenseRange(kSaveUnsorted, kLoad)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Arg 0: a muted sound (blocked); arg 1: an unlisted sound with auto-add on (passes, queued).
static void BM_VerdictWithUiThreadBlocked(benchmark::State& state) {
    Program program;
    const bool muted = state.range(0) == 0;
    const std::uint16_t number = muted ? 97 : 98;
    if (!muted)
        program.catalogue.Remove(number);
    SetUpAutoAdd(*program.dialog, false);
    for (auto _ : state) {
        const std::uint32_t verdict = program.PlayOne(number, false);
        if (verdict != (muted ? 1u : 0u))
            state.SkipWithError("wrong verdict");
    }
}
BENCHMARK(BM_VerdictWithUiThreadBlocked)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    // The comments are narrow text in the locale's code page: UTF-8 here, whatever the environment.
    std::setlocale(LC_ALL, "C.UTF-8");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
