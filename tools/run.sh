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
    # The simulator retries until the program listens, and reconnects when it restarts.
    "$build/peers/kestrune-sim" --loop tools/demo-session.txt &
    sim_pid=$!
fi
"$build/src/app/kestrune"
