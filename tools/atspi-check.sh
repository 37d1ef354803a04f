#!/usr/bin/env bash
# Starts Kestrune in a real X window (Xvfb, openbox) with the desktop's accessibility bridge on (a session
# bus with its AT-SPI bus, QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1) and the simulated game playing the
# demo session, then drives it through AT-SPI with tools/atspi-check.py. Needs the packages of
# tools/setup-debian.sh.
#
#   tools/atspi-check.sh [build folder]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
source "$root/tools/virtual-desktop.sh"
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
dbus-run-session -- bash -c '
    "$1/src/app/kestrune" & app=$!
    "$1/peers/kestrune-sim" --loop --quiet-verdicts "$2/tools/demo-session.txt" >/dev/null & sim=$!
    /usr/bin/python3 "$2/tools/atspi-check.py"; rc=$?
    kill $sim $app 2>/dev/null; wait $app 2>/dev/null
    exit $rc' _ "$build" "$root"
