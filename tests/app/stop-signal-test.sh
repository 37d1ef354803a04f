#!/usr/bin/env bash
# SIGTERM, SIGINT and SIGHUP (the terminal closing) end the program in order: exit status 0, the hook socket removed.
set -u
program=$1
status=0
for signal in TERM INT HUP; do
    dir=$(mktemp -d)
    mkdir -m 700 "$dir/run"
    KESTRUNE_HOOK_SOCKET=$dir/run/hook.sock QT_QPA_PLATFORM=offscreen "$program" &
    pid=$!
    for _ in $(seq 200); do [ -S "$dir/run/hook.sock" ] && break; sleep 0.05; done
    if [ ! -S "$dir/run/hook.sock" ]; then
        echo "SIG$signal: the program never listened"; status=1
    fi
    kill -"$signal" "$pid"
    wait "$pid"
    rc=$?
    if [ "$rc" -ne 0 ]; then echo "SIG$signal: exit status $rc, want 0"; status=1; fi
    if [ -e "$dir/run/hook.sock" ]; then echo "SIG$signal: the socket was left behind"; status=1; fi
    rm -rf "$dir"
done
[ $status -eq 0 ] && echo "stop signals: passed"
exit $status
