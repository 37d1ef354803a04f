#!/usr/bin/env bash
# Replays the README's usage session on a virtual display and takes its screenshots:
# auto-add on, the simulator plays the demo, a comment and a mute are set, the catalogue is saved,
# cleared and loaded back, and a sound is played. Needs xvfb, openbox, xdotool and imagemagick.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
out=${2:-docs/images}
mkdir -p "$out"

work=$(mktemp -d)
export KESTRUNE_HOOK_SOCKET=$work/run/hook.sock
mkdir -m 700 "$work/run"
export DISPLAY=:77
Xvfb $DISPLAY -screen 0 1024x640x24 >/dev/null 2>&1 &
xvfb=$!
pids=()
cleanup() { kill "${pids[@]}" 2>/dev/null || true; kill $xvfb 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
sleep 1
openbox >/dev/null 2>&1 &
pids+=($!)
sleep 1

"$build/src/app/kestrune" &
pids+=($!)
for _ in $(seq 50); do win=$(xdotool search --onlyvisible --name '^Kestrune$' 2>/dev/null | head -n 1) && [ -n "$win" ] && break; sleep 0.2; done
at() { xdotool mousemove --window "$win" "$1" "$2" click 1; sleep 0.4; }
in_file_dialog() {
    local dialog=""
    for _ in $(seq 50); do dialog=$(xdotool search --onlyvisible --name '^(開く|名前を付けて保存)$' 2>/dev/null | head -n 1) && [ -n "$dialog" ] && break; sleep 0.2; done
    xdotool windowactivate --sync "$dialog"; sleep 0.5
    xdotool type --delay 20 "$1"; xdotool key Return; sleep 1
}
shot() { import -window "$win" -frame "$out/$1"; }

at 279 233 # auto-add on
"$build/peers/kestrune-sim" tools/demo-session.txt > "$work/sim-first.log" &
pids+=($!)
sleep 10 # the demo session runs about 8 s
at 60 77 # first row: into the editor
at 367 122; xdotool type --delay 40 'footstep on wood'; sleep 0.3
at 309 167 # 追加・更新
at 21 109  # tick the third row: muted from now on
shot session-recorded.png

# The same session again: the muted sound is blocked now. The simulator stays to show Play.
"$build/peers/kestrune-sim" --stay tools/demo-session.txt > "$work/sim.log" &
pids+=($!)
sleep 10

at 222 31 # 保存
in_file_dialog "$work/sounds.xml"
at 54 31 # クリア
shot session-cleared.png
at 159 31 # 読込
in_file_dialog "$work/sounds.xml"
shot session-loaded.png

at 299 50; xdotool key ctrl+a; xdotool type '2a'; at 342 50 # 再生
sleep 1
cp "$work/sounds.xml" "$out/session-sounds.xml"
{ grep -m 2 blocked "$work/sim.log"; tail -n 3 "$work/sim.log"; } > "$out/session-sim-tail.txt"
echo "screenshots in $out"
