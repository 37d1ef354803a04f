#!/usr/bin/env bash
# Starts the program with the simulated game connection playing the demo session in a loop as its
# peer. KESTRUNE_NO_SIM=1 starts the program alone (it then waits for a real peer).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

if [ -z "${DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    cat >&2 <<'MSG'
make run: there is no display to open Kestrune's window on (DISPLAY is unset).
Run it from a terminal of a desktop session, or on a virtual display:  xvfb-run -a make run
MSG
    exit 1
fi

sim_pid=""
cleanup() { [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true; }
trap cleanup EXIT

if [ "${KESTRUNE_NO_SIM:-0}" != "1" ]; then
    # The simulator retries until the program listens, and reconnects when it restarts. It names
    # the build's synthetic game folder (made by make-demo-game-folder), for the sounds' names.
    uo_data=()
    [ -d "$build/demo-uo-data" ] && uo_data=(--uo-data "$build/demo-uo-data")
    "$build/peers/kestrune-sim" --loop "${uo_data[@]}" tools/demo-session.txt &
    sim_pid=$!
fi
"$build/src/app/kestrune"
