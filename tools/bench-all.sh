#!/usr/bin/env bash
# Runs every benchmark of the project against one build folder (default: build): the Google
# Benchmark programs, the catalogue file against xmllint, and what an idle program costs.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}

for bench in catalogue_bench hook_bench socket_bench classicuo_bench relay_bench ui_bench gamesounds_bench; do
    echo "=== $bench"
    "$build/bench/$bench" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
done
echo "=== catalogue file against xmllint"
tools/bench-catalogue-file.sh "$build"
echo "=== idle CPU"
tools/measure-idle-cpu.sh "$build" 20
