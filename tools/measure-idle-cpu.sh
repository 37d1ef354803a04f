#!/bin/sh
# CPU used by an idle program: the socket stand-in with its pump loop (GetEvent every ~10 ms),
# first with no peer, then with kestrune-sim attached and idle (--stay, empty script). Each phase
# lasts SECONDS (default 10). An idle program should stay well under 1% of one core.
#
#   tools/measure-idle-cpu.sh [BUILD_DIR [SECONDS]]     (BUILD_DIR default: build)
set -eu

build=${1:-build}
seconds=${2:-10}
probe=$build/tools/idle-cpu-probe
sim=$build/peers/kestrune-sim
for tool in "$probe" "$sim"; do
    if [ ! -x "$tool" ]; then
        echo "measure-idle-cpu: $tool not built (ninja -C $build idle-cpu-probe kestrune-sim)" >&2
        exit 2
    fi
done

dir=$(mktemp -d /tmp/kestrune-idle-XXXXXX)
trap 'rm -rf "$dir"' EXIT
socket=$dir/hook.sock
ticks=$(getconf CLK_TCK)

percent() { awk -v cpu="$1" -v wall="$2" 'BEGIN { printf "%.3f%%", 100 * cpu / wall }'; }

report() { # label probe-output
    cpu=$(echo "$2" | sed -n 's/.*cpu_seconds=\([0-9.]*\).*/\1/p')
    wall=$(echo "$2" | sed -n 's/.*wall_seconds=\([0-9.]*\).*/\1/p')
    attached=$(echo "$2" | sed -n 's/.*attached=\([01]\).*/\1/p')
    echo "$1: program ${cpu}s CPU in ${wall}s = $(percent "$cpu" "$wall") of a core (peer seen: $attached)"
}

echo "idle program, no peer, ${seconds}s..."
report "no peer" "$("$probe" "$socket" "$seconds" | tail -n 1)"

echo "idle program with an idle kestrune-sim attached, ${seconds}s..."
: > "$dir/empty.txt"
"$probe" "$socket" "$seconds" > "$dir/probe.out" &
probe_pid=$!
"$sim" --socket "$socket" --stay --quiet-verdicts "$dir/empty.txt" 2> "$dir/sim.err" &
sim_pid=$!
wait "$probe_pid"
# The simulator's own user + system ticks, read before it goes (fields 14 and 15 of its stat).
sim_ticks=$(awk '{ print $14 + $15 }' "/proc/$sim_pid/stat" 2>/dev/null || echo 0)
kill -TERM "$sim_pid" 2>/dev/null || true
wait "$sim_pid" 2>/dev/null || true
report "peer attached" "$(tail -n 1 "$dir/probe.out")"
sim_cpu=$(awk -v t="$sim_ticks" -v hz="$ticks" 'BEGIN { printf "%.3f", t / hz }')
echo "peer attached: kestrune-sim ${sim_cpu}s CPU in ~${seconds}s = $(percent "$sim_cpu" "$seconds") of a core"
