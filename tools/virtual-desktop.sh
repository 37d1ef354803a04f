# Sourced by the scripts that need a desktop of their own: starts a virtual display (Xvfb) with the
# openbox window manager, exports DISPLAY and a scratch folder `work` with a socket folder for
# Kestrune (KESTRUNE_HOOK_SOCKET), and removes it all when the script exits.
work=$(mktemp -d)
mkdir -m 700 "$work/run"
export KESTRUNE_HOOK_SOCKET=$work/run/hook.sock
export DISPLAY=:$((100 + RANDOM % 800))
Xvfb "$DISPLAY" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
desktop_pids=($!)
trap 'kill "${desktop_pids[@]}" 2>/dev/null || true; rm -rf "$work"' EXIT
for _ in $(seq 50); do [[ -e /tmp/.X11-unix/X${DISPLAY#:} ]] && break; sleep 0.1; done
openbox >/dev/null 2>&1 &
desktop_pids+=($!)
sleep 1
