#!/usr/bin/env bash
# How long the game waits for its verdicts while the player uses the window: the real program on a
# virtual display (Xvfb, openbox), a socket peer playing a sound (0x54) every 20 ms and timing each
# verdict, auto-add and "move to the end" on, and xdotool clicking as a user does: loads of a
# 65,534-entry catalogue (20-character Japanese comments; half of them after クリア), the file
# dialog opening, saves unsorted and sorted, and the load of a 72 KB file whose entities expand to
# about 119 MB. Per phase it prints the longest wait, p50 and p99, beside two floors measured in the
# same run: the same peer against the idle program, and a bare socket pair.
#
#   tools/measure-verdict-wait.sh [build folder] [repeats (default 3)]
#
# A load's phase lasts from the file being chosen until the window answers a click on 読込 again
# (at most WAIT_SECONDS, default 300). KEEP=1 keeps the scratch folder (samples, phases, files).
# Needs Xvfb, openbox, xdotool and python3 (tools/setup-debian.sh). A measuring tool, not a test: it
# stops by itself (every wait is bounded, the whole run at 15 minutes) and ends what it started.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
repeats=${2:-3}
wait_seconds=${WAIT_SECONDS:-300}
program=$build/src/app/kestrune
helper=$root/tools/measure-verdict-wait.py
[[ -x $program ]] || { echo "no $program: build it first (cmake --build build --target kestrune)" >&2; exit 2; }
for tool in Xvfb openbox xdotool python3; do
    command -v "$tool" >/dev/null || { echo "$tool is missing: run tools/setup-debian.sh" >&2; exit 2; }
done

source "$root/tools/virtual-desktop.sh"
pids=()
stop_all() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    kill "${desktop_pids[@]}" 2>/dev/null || true
    if [[ ${KEEP:-0} == 1 ]]; then echo "kept: $work"; else rm -rf "$work"; fi
}
trap stop_all EXIT
trap 'exit 1' TERM INT
bash -c 'sleep 900 & s=$!; trap "kill $s; exit 0" TERM; wait $s
         echo "measure-verdict-wait: out of time (15 minutes)" >&2; kill -TERM $1' _ $$ &
pids+=($!)

say() { echo "[$(date +%T)] $*" >&2; }
fail() { say "FAILED: $*"; exit 1; }
now() { date +%s.%N; }
phases=$work/phases.txt
: >"$phases"
phase_start=""
begin() { phase_start=$(now); }
end() { echo "$phase_start $(now) $1" >>"$phases"; }

# A visible window whose name matches, waited for at most $2 seconds.
wait_window() {
    local id
    for _ in $(seq $((${2:-20} * 5))); do
        id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1) && [[ -n $id ]] && { echo "$id"; return 0; }
        sleep 0.2
    done
    return 1
}
wait_gone() {
    for _ in $(seq $((${2:-20} * 5))); do
        xdotool search --onlyvisible --name "$1" >/dev/null 2>&1 || return 0
        sleep 0.2
    done
    return 1
}
# The program's error boxes, answered; says what they were.
dismiss_boxes() {
    local id
    while id=$(xdotool search --onlyvisible --name '^(読み込みエラー|書き込みエラー|開く|名前を付けて保存)$' 2>/dev/null | head -n 1) &&
        [[ -n $id ]]; do
        say "a window was left open: $(xdotool getwindowname "$id"); closing it"
        timeout 5 xdotool windowactivate --sync "$id" || true
        # Sent to the focus, as a user presses it: a key sent to the window itself leaves the
        # program unable to take the next click.
        xdotool key Escape 2>/dev/null || true
        sleep 0.5
    done
}

# Where the dialog's controls are, in window pixels (as tools/readme-session.sh clicks them).
click() { xdotool mousemove --window "$win" "$1" "$2" click 1; }
clear_button() { click 54 31; }
load_button() { click 159 31; }
save_button() { click 222 31; }
auto_add_box() { click 279 233; }
move_to_end_box() { click 279 268; }
sort_on_save_box() { click 279 300; }

# Ends the phase once the window has done what it was doing: a click on 読込 opens its dialog (then
# closed unused). An error box the program shows meanwhile is answered and said.
ready() {
    local dialog="" deadline=$((SECONDS + wait_seconds)) clicked=$SECONDS
    load_button
    while ((SECONDS < deadline)); do
        dialog=$(xdotool search --onlyvisible --name '^開く$' 2>/dev/null | head -n 1) && [[ -n $dialog ]] && break
        if xdotool search --onlyvisible --name '^(読み込みエラー|書き込みエラー)$' >/dev/null 2>&1; then
            dismiss_boxes
            load_button
            clicked=$SECONDS
        elif ((SECONDS - clicked >= 3)); then
            # A click that came while a box was closing is lost: the window answers the next one.
            load_button
            clicked=$SECONDS
        fi
        sleep 0.2
    done
    [[ -n $dialog ]] || fail "the window did not answer within $wait_seconds s"
    end "$1"
    timeout 5 xdotool windowactivate --sync "$dialog" || true
    xdotool key Escape
    wait_gone '^開く$' 10 || dismiss_boxes
    sleep 0.5
}

# Chooses `path` in the file dialog titled $1 that a click just opened; a phase starts as it is chosen.
choose() {
    local dialog
    dialog=$(wait_window "^$1\$" 20) || fail "no $1 dialog"
    timeout 5 xdotool windowactivate --sync "$dialog" || true
    sleep 0.3
    xdotool key ctrl+a
    xdotool type --delay 5 "$2"
    begin
    xdotool key Return
    wait_gone "^$1\$" 20 || fail "the $1 dialog stays open"
}
# Until the file's size has stayed the same for a second (at most a minute), then one more second.
wait_written() {
    local size=-1 same=0
    for _ in $(seq 300); do
        local now_size
        now_size=$(stat -c %s "$1" 2>/dev/null || echo -1)
        if [[ $now_size == "$size" && $now_size != -1 ]]; then
            same=$((same + 1))
            ((same >= 5)) && break
        else
            same=0
        fi
        size=$now_size
        sleep 0.2
    done
    sleep 1
}

say "writing the catalogue files"
python3 "$helper" catalogue "$work/catalogue.xml"
python3 "$helper" entities "$work/entities.xml"

QT_QPA_PLATFORM=xcb QT_ACCESSIBILITY=0 "$program" >"$work/program.log" 2>&1 &
pids+=($!)
win=$(wait_window '^Kestrune$' 30) || fail "no Kestrune window"
python3 "$helper" peer "$KESTRUNE_HOOK_SOCKET" "$work/samples.txt" 870 2>"$work/peer.log" &
peer=$!
pids+=($peer)
sleep 2
[[ -s $work/samples.txt ]] || fail "the peer has no verdicts: $(cat "$work/peer.log")"

say "idle, auto-add off"
begin && sleep 5 && end "idle, auto-add off (floor)"
auto_add_box
sleep 0.5
move_to_end_box
sleep 1
say "idle, auto-add on"
begin && sleep 5 && end "idle, auto-add on (floor)"

for i in $(seq "$repeats"); do
    if ((i % 2 == 0)); then
        say "クリア, then load $i"
        clear_button
        sleep 1
    else
        say "load $i"
    fi
    load_button
    choose 開く "$work/catalogue.xml"
    ready "load 65,534 entries"
done

say "file dialogs"
for i in $(seq $((repeats * 2))); do
    begin
    if ((i % 2)); then load_button; title=開く; else save_button; title=名前を付けて保存; fi
    dialog=$(wait_window "^$title\$" 20) || fail "no $title dialog"
    sleep 0.5
    end "file dialog opening"
    timeout 5 xdotool windowactivate --sync "$dialog" || true
    xdotool key Escape
    wait_gone "^$title\$" 10 || dismiss_boxes
    sleep 0.5
done

for order in unsorted sorted; do
    if [[ $order == sorted ]]; then
        sort_on_save_box
        sleep 0.5
    fi
    for i in $(seq "$repeats"); do
        say "save $order $i"
        save_button
        choose 名前を付けて保存 "$work/saved-$order-$i.xml"
        wait_written "$work/saved-$order-$i.xml"
        end "save 65,534 entries, $order"
        dismiss_boxes
    done
done

say "load of the 72 KB file whose entities expand to 119 MB"
load_button
choose 開く "$work/entities.xml"
ready "load 72 KB -> 119 MB of entities"

say "idle again"
begin && sleep 3 && end "idle at the end, auto-add on"
kill "$peer" 2>/dev/null || true
wait "$peer" 2>/dev/null || true

say "floor: a bare socket pair"
python3 "$helper" floor "$work/socket-pair" 5

# What the clicks did, read back from the saved files: the played sounds moved to the end when
# unsorted, every number in order when sorted.
python3 - "$work" "$repeats" <<'EOF'
import re
import sys

work, repeats = sys.argv[1], int(sys.argv[2])
for order in ("unsorted", "sorted"):
    for i in range(1, repeats + 1):
        try:
            text = open(f"{work}/saved-{order}-{i}.xml", encoding="utf-8").read()
        except OSError:
            print(f"check: saved-{order}-{i}.xml was not written")
            continue
        numbers = [int(n, 16) for n in re.findall(r'no="0x([0-9a-f]{4})"', text)]
        in_order = numbers == sorted(numbers)
        ok = len(numbers) >= 65534 and in_order == (order == "sorted")
        print(f"check: saved-{order}-{i}.xml: {len(numbers)} entries, {'in' if in_order else 'not in'} number "
              f"order: {'ok' if ok else 'UNEXPECTED (auto-add, move to the end or sort not as clicked?)'}")
EOF
echo
python3 "$helper" report "$work/samples.txt" "$phases" "$work/socket-pair"
grep -q . "$work/peer.log" && say "peer: $(cat "$work/peer.log")"
exit 0
