#!/bin/sh
# What an idle Kestrune costs: the real program (offscreen, a socket of its own) with no peer,
# then with an idle kestrune-sim attached (--stay, empty script). For each phase of SECONDS
# (default 20) it reports, per thread and in all, the times a thread was put on a CPU (wake-ups,
# from /proc/PID/task/TID/schedstat) and the CPU time used.
#
#   tools/measure-idle-cpu.sh [BUILD_DIR [SECONDS]]     (BUILD_DIR default: build)
set -eu

build=${1:-build}
seconds=${2:-20}
program=$build/src/app/kestrune
sim=$build/peers/kestrune-sim
for tool in "$program" "$sim"; do
    if [ ! -x "$tool" ]; then
        echo "measure-idle-cpu: $tool not built (ninja -C $build kestrune kestrune-sim)" >&2
        exit 2
    fi
done

dir=$(mktemp -d /tmp/kestrune-idle-XXXXXX)
chmod 700 "$dir"
pid=""
sim_pid=""
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
    [ -n "$pid" ] && kill "$pid" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$dir"
}
trap cleanup EXIT
export KESTRUNE_HOOK_SOCKET=$dir/hook.sock

# One line per thread: tid name runtime_ns timeslices
sample() {
    for task in /proc/"$1"/task/*; do
        tid=${task##*/}
        read -r run _ slices < "$task/schedstat" 2>/dev/null || continue
        name=$(cat "$task/comm" 2>/dev/null || echo "?")
        echo "$tid $name $run $slices"
    done
}

report() { # label before after
    echo "$1 ($seconds s):"
    printf '%s\n' "$2" > "$dir/before"
    printf '%s\n' "$3" > "$dir/after"
    awk -v secs="$seconds" '
        NR == FNR { run[$1] = $3; slices[$1] = $4; next }
        ($1 in run) {
            dr = ($3 - run[$1]) / 1e9; ds = $4 - slices[$1]
            printf "  thread %-16s %6.2f wake-ups/s  %8.5f%% of a core\n", $2, ds / secs, 100 * dr / secs
            total_r += dr; total_s += ds
        }
        END { printf "  all threads      %6.2f wake-ups/s  %8.5f%% of a core\n", total_s / secs, 100 * total_r / secs }
    ' "$dir/before" "$dir/after"
}

QT_QPA_PLATFORM=offscreen "$program" 2> "$dir/program.err" &
pid=$!
for _ in $(seq 100); do [ -S "$KESTRUNE_HOOK_SOCKET" ] && break; sleep 0.1; done
sleep 1 # let start-up settle
before=$(sample "$pid")
sleep "$seconds"
report "idle program, no peer" "$before" "$(sample "$pid")"

: > "$dir/empty.txt"
"$sim" --stay --quiet-verdicts "$dir/empty.txt" 2> "$dir/sim.err" &
sim_pid=$!
sleep 1
before=$(sample "$pid")
sim_before=$(sample "$sim_pid")
sleep "$seconds"
report "idle program, idle kestrune-sim attached" "$before" "$(sample "$pid")"
report "the idle kestrune-sim itself" "$sim_before" "$(sample "$sim_pid")"
