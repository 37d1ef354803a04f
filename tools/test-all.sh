#!/usr/bin/env bash
# Builds and runs every test: the plain build, then address+undefined and thread sanitizer
# builds, then the fuzz smoke runs (clang, libFuzzer). Stops at the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

passed=0
failed=0
targets=""

run_suite() { # name build-dir ctest-args... ; cmake flags come from $flags
    local name=$1 dir=$2
    shift 2
    echo "=== $name: configure and build ($dir)"
    cmake -S . -B "$dir" -G Ninja "${flags[@]}" >/dev/null
    cmake --build "$dir" -j "$jobs" ${targets:+--target $targets}
    echo "=== $name: tests"
    local log
    log=$(mktemp)
    set +e
    (cd "$dir" && ctest --output-on-failure -j "$jobs" "$@") 2>&1 | tee "$log"
    local rc=${PIPESTATUS[0]}
    set -e
    local line
    line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1 || true)
    rm -f "$log"
    if [[ $line =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
        failed=$((failed + BASH_REMATCH[1]))
        passed=$((passed + BASH_REMATCH[2] - BASH_REMATCH[1]))
    fi
    if [ "$rc" -ne 0 ]; then
        echo "=== $name: FAILED"
        echo "$passed passed, $((failed > 0 ? failed : 1)) failed"
        exit "$rc"
    fi
}

flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
run_suite "plain" build

flags=(-DCMAKE_BUILD_TYPE=Debug -DKESTRUNE_SANITIZE=address -DKESTRUNE_BENCH=OFF)
run_suite "address+undefined sanitizer" build-asan

flags=(-DCMAKE_BUILD_TYPE=Debug -DKESTRUNE_SANITIZE=thread -DKESTRUNE_BENCH=OFF)
run_suite "thread sanitizer" build-tsan

flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
       -DKESTRUNE_FUZZ=ON -DKESTRUNE_UI=OFF -DKESTRUNE_BENCH=OFF -DKESTRUNE_SANITIZE=address)
targets="fuzz_catalogue_file fuzz_sound_number fuzz_relay_stream fuzz_game_sounds"
run_suite "fuzz smoke" build-fuzz -L fuzz

echo "=== all suites passed"
echo "$passed passed, $failed failed"
