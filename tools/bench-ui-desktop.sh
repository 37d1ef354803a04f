#!/usr/bin/env bash
# Runs the dialog's end-to-end, recording, flood and save/load benchmarks (bench/ui_bench) three
# ways: offscreen, in a real X window (Xvfb with the openbox window manager), and in that window
# with the desktop's accessibility bridge active as on a GNOME desktop (an AT-SPI bus on a session
# bus, and QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1). Figures on standard output.
#
#   tools/bench-ui-desktop.sh [build folder] [benchmark filter]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
filter=${2:-AutoAdd|RecordOne|Flood|SaveOrLoad}
bench=$build/bench/ui_bench
[[ -x $bench ]] || { echo "no $bench: build it first" >&2; exit 1; }
for tool in Xvfb openbox dbus-run-session; do
    command -v "$tool" >/dev/null || { echo "$tool is missing: run tools/setup-debian.sh" >&2; exit 1; }
done

run() { # label, then the environment and command
    local label=$1
    shift
    echo "=== $label"
    "$@" "$bench" --benchmark_filter="$filter" 2>&1 | grep -E '^(BM_|Load)'
}

run "offscreen" env QT_QPA_PLATFORM=offscreen

source "$root/tools/virtual-desktop.sh"
run "X window (Xvfb, openbox)" env QT_QPA_PLATFORM=xcb QT_ACCESSIBILITY=0
# Qt turns its bridge on only once the accessibility bus (org.a11y.Bus) is there, and does not start
# it: asking the bus for its address does, as a screen reader would.
with_bus='dbus-send --session --dest=org.a11y.Bus --print-reply /org/a11y/bus org.a11y.Bus.GetAddress >/dev/null && exec "$@"'
run "X window, accessibility bridge on (AT-SPI bus, QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1)" \
    dbus-run-session -- sh -c "$with_bus" _ env QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
# A moved row with every cell of the list read by a client, against none read.
if [[ -x $build/bench/a11y_bench ]]; then
    bench=$build/bench/a11y_bench filter=. run "the list with a screen reader (AT-SPI on): a moved row" \
        dbus-run-session -- sh -c "$with_bus" _ env QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
fi
