// The sound list under a screen reader: what one moved row costs once a client has read every cell
// of the list, against none read. The list's own model is stood in for by a plain one that moves
// rows as the dialog's does (one row to the end, as a played sound is moved).

#include "PlainRowsModel.h"
#include "SoundListAccessible.h"
#include "SoundTableView.h"

#include <benchmark/benchmark.h>

#include <QAccessible>
#include <QAccessibleTableInterface>
#include <QApplication>
#include <QElapsedTimer>
#include <QThread>

#include <cstdio>
#include <cstdlib>

namespace {

// Args: rows, whether every cell (and row header) was read first, the row moved (0: the top one;
// 1: the middle one).
void BM_MoveRowWithCellsRead(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    const bool readAll = state.range(1) != 0;
    PlainRowsModel model(rows);
    SoundTableView view;
    view.setModel(&model);
    view.resize(400, 300);
    view.show();
    QApplication::processEvents();
    QAccessibleInterface* list = QAccessible::queryAccessibleInterface(&view);
    if (!list || !list->tableInterface()) {
        state.SkipWithError("no table interface");
        return;
    }
    if (readAll) {
        QAccessibleTableInterface& table = *list->tableInterface();
        for (int row = 0; row < rows; ++row) {
            for (int column = 0; column < 2; ++column)
                benchmark::DoNotOptimize(table.cellAt(row, column)->text(QAccessible::Name));
            benchmark::DoNotOptimize(list->child((row + 1) * 3)->text(QAccessible::Name));
        }
    }
    const int moved = state.range(2) == 0 ? 0 : rows / 2;
    for (auto _ : state)
        model.Move(moved, rows);
    state.counters["accessible"] = QAccessible::isActive();
    QApplication::processEvents();
}
BENCHMARK(BM_MoveRowWithCellsRead)
    ->ArgNames({"rows", "read", "middle"})
    ->Args({1933, 0, 0})
    ->Args({1933, 1, 0})
    ->Args({1933, 1, 1})
    ->Args({65534, 0, 0})
    ->Args({65534, 1, 0})
    ->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    InstallDialogAccessibility();
    // On a desktop with its accessibility bus (see tools/bench-ui-desktop.sh) the bridge comes up
    // once the bus answers; offscreen there is none, and the counter "accessible" says so.
    QElapsedTimer waited;
    waited.start();
    while (!QAccessible::isActive() && waited.elapsed() < 10000) {
        QApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(10);
    }
    std::fprintf(stderr, "accessibility bridge %s\n", QAccessible::isActive() ? "on" : "off");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
