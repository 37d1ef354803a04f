// The dialog's costs with a full catalogue (65,534 sounds), on the offscreen platform:
// - RebuildSoundList alone;
// - one auto-added sound end to end: packet into the fake hook, verdict out, list rebuilt, with
//   move-to-end on (the UI thread keeps processing events while it waits);
// - the verdict for a muted or an unknown sound with auto-add off while the UI thread is blocked
//   (it waits on the fake library without looking at its events), which shows that this path
//   never needs the UI thread.

#include "DialogFixture.h"

#include <QApplication>
#include <QCheckBox>

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>

// The tests' program around one dialog, the catalogue filled with every storable number.
struct Program : DialogFixture {
    Program() {
        for (std::uint32_t number = 1; number <= 0xFFFE; ++number)
            catalogue.AddOrUpdate(static_cast<std::int32_t>(number), "a comment", number % 97 == 0, true, false,
                                  nullptr);
        dialog->RebuildSoundList();
        QCoreApplication::processEvents();
    }
    void Tick(const char* box) { dialog->findChild<QCheckBox*>(QString::fromLatin1(box))->click(); }

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

static void BM_RebuildSoundList(benchmark::State& state) {
    Program program;
    for (auto _ : state)
        program.dialog->RebuildSoundList();
    state.counters["rows"] = program.dialog->ListModel().rowCount();
}
BENCHMARK(BM_RebuildSoundList)->Unit(benchmark::kMillisecond);

static void BM_RebuildSoundListAndPaint(benchmark::State& state) {
    Program program;
    QWidget& list = *program.dialog->findChild<QWidget*>(QStringLiteral("soundList"));
    for (auto _ : state) {
        program.dialog->RebuildSoundList();
        list.repaint();
    }
}
BENCHMARK(BM_RebuildSoundListAndPaint)->Unit(benchmark::kMillisecond);

static void BM_AutoAddEndToEnd(benchmark::State& state) {
    Program program;
    program.Tick("moveToEndCheckBox");
    program.Tick("autoAddCheckBox"); // reads the move-to-end box as well
    std::uint16_t number = 1;
    for (auto _ : state) {
        if (number % 97 == 0) // muted ones are blocked, not added
            ++number;
        const std::uint32_t verdict = program.PlayOne(number++, true);
        if (verdict != 0)
            state.SkipWithError("an unmuted sound was blocked");
    }
    if (program.dialog->ListModel().Row(program.dialog->ListModel().rowCount() - 1).number != number - 1)
        state.SkipWithError("the last played sound is not the list's last row");
}
BENCHMARK(BM_AutoAddEndToEnd)->Unit(benchmark::kMillisecond);

// Arg 0: a muted sound (blocked); arg 1: an unknown-to-the-dialog sound with auto-add off (passes).
static void BM_VerdictWithUiThreadBlocked(benchmark::State& state) {
    Program program;
    const bool muted = state.range(0) == 0;
    const std::uint16_t number = muted ? 97 : 98;
    if (!muted)
        program.catalogue.Remove(number);
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
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
