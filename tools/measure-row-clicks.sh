#!/usr/bin/env bash
# Measures, in the real window (Xvfb with openbox), how many clicks on rows' check boxes register
# while sounds come in with auto-add on: with the demo session at its pace, with none, with a sound
# every 250 ms and every 40 ms. The clicks are xdotool's, the button held about 0.13 s; the boxes
# are found, and their state read, through the accessibility bus.
#
#   tools/measure-row-clicks.sh [build folder] [clicks per pace]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
clicks=${2:-20}
source "$root/tools/virtual-desktop.sh"
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1

# Twenty sounds over and over, a given number of milliseconds apart.
paced() {
    echo "player 1496 1628 10"
    for n in $(seq 256 275); do printf 'sound %x\nwait %s\n' "$n" "$1"; done
}
paced 250 >"$work/every-250ms.txt"
paced 40 >"$work/every-40ms.txt"

dbus-run-session -- bash -c '
    build=$1 root=$2 work=$3 clicks=$4
    "$build/src/app/kestrune" 2>/dev/null & app=$!
    measure() { # label, then the simulator'\''s script (none: no sounds)
        local sim=""
        if [[ -n ${2:-} ]]; then
            "$build/peers/kestrune-sim" --loop --quiet-verdicts "$2" >/dev/null 2>&1 & sim=$!
        fi
        /usr/bin/python3 "$root/tools/measure-row-clicks.py" "$1" "$clicks"
        [[ -n $sim ]] && { kill $sim; wait $sim 2>/dev/null || true; }
    }
    measure "demo session" "$root/tools/demo-session.txt" # lists its sounds: the list to click in
    measure "no sounds"
    measure "a sound every 250 ms" "$work/every-250ms.txt"
    measure "a sound every 40 ms" "$work/every-40ms.txt"
    kill $app; wait $app 2>/dev/null || true' _ "$build" "$root" "$work" "$clicks"
