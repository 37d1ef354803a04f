#!/usr/bin/env bash
# What the game's own sounds cost the program, with a game folder the size of a real one:
# a 200 MB sound.mul of 4,095 sounds (made here from noise, never the game's), then
#  - naming every row of a full list, and the memory that costs (game_sounds_ui_bench);
#  - the time from "このPCで試聴" to the first sample at a sound server of its own (a null sink);
#  - the program's start-up with and without the folder named, to its window on a virtual display.
# Usage: tools/measure-game-sounds.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 - "$work/uo" <<'PY'
import os, struct, sys
folder = sys.argv[1]
os.makedirs(folder)
count, samples = 4095, 24400  # about 200 MB of 16-bit samples
body = os.urandom(samples * 2)
with open(os.path.join(folder, "sound.mul"), "wb") as data, open(os.path.join(folder, "soundidx.mul"), "wb") as index:
    for i in range(count):
        name = ("bulk_sound_%04x" % i).encode().ljust(40, b"\0")
        index.write(struct.pack("<IiI", data.tell(), 40 + len(body), 0))
        data.write(name + body)
PY
echo "=== game folder: $(du -m "$work/uo/sound.mul" | cut -f1) MB"

echo "=== naming every row, and memory"
KESTRUNE_BENCH_UO_DATA=$work/uo QT_QPA_PLATFORM=offscreen "$build/bench/game_sounds_ui_bench" \
    --benchmark_filter=BM_NameEveryRow --benchmark_counters_tabular=true
echo "=== click to sound"
QT_QPA_PLATFORM=offscreen tests/preview/with-null-sink.sh "$build/bench/game_sounds_ui_bench" \
    --benchmark_filter=BM_ClickToSound

echo "=== start-up to the window, 10 runs each (ms): without a game folder, then with it named"
export XDG_RUNTIME_DIR=$work/run && mkdir -m 700 -p "$XDG_RUNTIME_DIR"
Xvfb :97 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; rm -rf "$work"' EXIT
sleep 1
export DISPLAY=:97
for mode in none folder; do
    times=()
    for _ in $(seq 10); do
        sim=()
        if [ "$mode" = folder ]; then
            "$build/peers/kestrune-sim" --stay --uo-data "$work/uo" /dev/null >/dev/null 2>&1 &
            sim=($!)
        fi
        start=$(date +%s%N)
        PULSE_SERVER=unix:/nonexistent "$build/src/app/kestrune" >/dev/null 2>&1 &
        app=$!
        xdotool search --sync --onlyvisible --pid "$app" >/dev/null 2>&1 || true
        times+=($(( ($(date +%s%N) - start) / 1000000 )))
        kill "$app" "${sim[@]}" 2>/dev/null || true
        wait "$app" "${sim[@]}" 2>/dev/null || true
    done
    sorted=$(printf '%s\n' "${times[@]}" | sort -n | tr '\n' ' ')
    echo "$mode: $sorted"
done
