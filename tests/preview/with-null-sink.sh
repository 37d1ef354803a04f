#!/usr/bin/env bash
# Runs a command against a sound server of its own: a PulseAudio whose only output is a null sink
# of 16-bit mono 22,050 Hz, so what reaches the output can be recorded from its monitor unchanged.
# The server lives in a private folder and ends with the command.
set -euo pipefail
runtime=$(mktemp -d)
trap 'kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; rm -rf "$runtime"' EXIT
export XDG_RUNTIME_DIR=$runtime HOME=$runtime
unset PULSE_SERVER DBUS_SESSION_BUS_ADDRESS
pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no --log-target=stderr --log-level=error \
    -L "module-null-sink sink_name=kestrune_test rate=22050 channels=1 format=s16le" \
    -L "module-native-protocol-unix auth-anonymous=1" &
server=$!
for _ in $(seq 100); do
    pactl info >/dev/null 2>&1 && break
    sleep 0.05
done
pactl info >/dev/null
export PULSE_SERVER=unix:$runtime/pulse/native
"$@"
