#!/usr/bin/env bash
# SIGTERM, SIGINT and SIGHUP (the terminal closing) end the game-side peers in order, with exit
# status 0, while they wait for Kestrune: kestrune-sim waiting to connect, kestrune-relay serving
# its listening port with no program there.
set -u
sim=$1
relay=$2
status=0
dir=$(mktemp -d)
export KESTRUNE_HOOK_SOCKET=$dir/absent.sock

check() { # what, signal, pid, its standard error
    local what=$1 signal=$2 pid=$3 log=$4 rc
    kill -"$signal" "$pid"
    # Bounded: a peer still there after 5 s is killed and fails.
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid"
    rc=$?
    if [ "$rc" -ne 0 ]; then
        echo "$what, SIG$signal: exit status $rc, want 0"; sed 's/^/  /' "$log"; status=1
    fi
}

for signal in TERM INT HUP; do
    "$sim" --stay --quiet-verdicts /dev/null 2>"$dir/sim.err" &
    pid=$!
    sleep 0.3
    check kestrune-sim "$signal" "$pid" "$dir/sim.err"

    # The shard's address is only resolved here; nothing connects to it. A port taken by
    # something else makes the relay exit at once: the next one is tried.
    for try in 1 2 3 4 5; do
        port=$((20000 + (RANDOM % 30000)))
        "$relay" --shard 127.0.0.1:9 --listen 127.0.0.1:$port 2>"$dir/relay.err" &
        pid=$!
        for _ in $(seq 100); do
            grep -q relaying "$dir/relay.err" && break 2
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.05
        done
    done
    check kestrune-relay "$signal" "$pid" "$dir/relay.err"
    grep -q "kestrune-relay: stopped" "$dir/relay.err" || { echo "kestrune-relay, SIG$signal: no \"stopped\" line"; status=1; }
done
rm -rf "$dir"
[ $status -eq 0 ] && echo "peer stop signals: passed"
exit $status
