#!/usr/bin/env bash
# Makes the Debian package from a build, checks its files, its control fields and its policy
# (lintian, desktop-file-validate, appstreamcli), unpacks it into a folder of its own and runs what
# it installed there: the simulator's and the relay's --help, the plugin under the plugin tests'
# host, the program offscreen on a socket of this test's own, talking to the installed simulator
# and ended by SIGTERM.
# Arguments: build folder, expected file list, project version, the plugin tests' program.
set -uo pipefail
build=$1
expected=$2
version=$3
plugin_tests=$4

work=$(mktemp -d)
program_pid=""
sim_pid=""
cleanup() {
    [ -n "$sim_pid" ] && kill -KILL "$sim_pid" 2>/dev/null
    [ -n "$program_pid" ] && kill -KILL "$program_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}

echo "--- cpack"
if ! cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    echo "FAILED: cpack"
    exit 1
fi
debs=("$work"/out/kestrune_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    cat "$work/cpack.log"
    echo "FAILED: cpack made no single kestrune_*.deb: ${debs[*]}"
    exit 1
fi
deb=${debs[0]}
echo "$deb"

echo "--- files"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' | sort >"$work/files.txt"
if ! diff -u <(sort "$expected") "$work/files.txt"; then
    fail "the package's files differ from the expected list (- expected, + in the package)"
fi

echo "--- control fields"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = kestrune ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', want $version"
depends=$(field Depends)
echo "Depends: $depends"
for dependency in fonts-ipafont-gothic libqt6widgets6 libxml2 libc6; do
    [[ ", $depends," == *", $dependency"[\ ,]* ]] || fail "Depends lacks $dependency"
done

echo "--- lintian"
report=$(lintian --fail-on error,warning "$deb" 2>&1)
status=$?
report=${report//running with root privileges is not recommended!/}
[ -n "$report" ] && echo "$report"
[ $status -eq 0 ] || fail "lintian reports errors or warnings"

root=$work/root
dpkg -x "$deb" "$root" || { echo "FAILED: dpkg -x"; exit 1; }

echo "--- desktop-file-validate"
report=$(desktop-file-validate "$root/usr/share/applications/kestrune.desktop" 2>&1)
status=$?
[ -n "$report" ] && echo "$report"
[ $status -eq 0 ] && [ -z "$report" ] || fail "desktop-file-validate"

echo "--- appstreamcli validate"
appstreamcli validate --no-net "$root"/usr/share/metainfo/*.metainfo.xml || fail "appstreamcli validate"
appstreamcli validate-tree --no-net "$root" >/dev/null || fail "appstreamcli validate-tree"

echo "--- versions"
changelog=$(zcat "$root/usr/share/doc/kestrune/changelog.gz" | head -n 1)
[[ $changelog == "kestrune ($version) "* ]] || fail "the changelog's last entry is '$changelog', want version $version"
release=$(grep -o -m 1 '<release version="[^"]*"' "$root"/usr/share/metainfo/*.metainfo.xml)
[ "$release" = "<release version=\"$version\"" ] || fail "the metainfo's last release is '$release', want $version"

echo "--- installed programs"
help=$("$root/usr/bin/kestrune-sim" --help) || fail "kestrune-sim --help: exit status $?"
[[ $help == "Usage: kestrune-sim"* ]] || fail "kestrune-sim --help printed: $help"
if grep -qx /usr/bin/kestrune-relay "$expected"; then
    help=$("$root/usr/bin/kestrune-relay" --help) || fail "kestrune-relay --help: exit status $?"
    [[ $help == *kestrune-relay* ]] || fail "kestrune-relay --help printed: $help"
fi

plugin=$root$(grep 'kestrune-classicuo\.so$' "$expected")
# Without the plugin it names, the host fails: it loads the one it is given, not the built one.
if KESTRUNE_CLASSICUO_PLUGIN=$work/none.so "$plugin_tests" --gtest_filter='*InstallWrites*' >/dev/null 2>&1; then
    fail "the plugin tests passed with a plugin that is not there"
fi
if ! KESTRUNE_CLASSICUO_PLUGIN=$plugin "$plugin_tests" >"$work/plugin.log" 2>&1; then
    cat "$work/plugin.log"
    fail "the plugin tests with the installed plugin"
fi
tail -n 1 "$work/plugin.log"

mkdir -m 700 "$work/run"
socket=$work/run/hook.sock
KESTRUNE_HOOK_SOCKET=$socket QT_QPA_PLATFORM=offscreen "$root/usr/bin/kestrune" >"$work/program.log" 2>&1 &
program_pid=$!
for _ in $(seq 200); do [ -S "$socket" ] && break; sleep 0.05; done
if [ -S "$socket" ]; then
    # Until the dialog runs, the program watches no sound: then the sound is asked about.
    printf 'player 1496 1628 10\nsound 12b\nwait 50\n' >"$work/script.txt"
    "$root/usr/bin/kestrune-sim" --loop --socket "$socket" "$work/script.txt" >"$work/sim.log" 2>&1 &
    sim_pid=$!
    heard="passed sound 0x012b at 1496,1628,10"
    for _ in $(seq 200); do grep -qx "$heard" "$work/sim.log" && break; sleep 0.05; done
    kill -TERM "$sim_pid"
    wait "$sim_pid"
    sim_pid=""
    grep -v 'not watched' "$work/sim.log" | head -n 3
    grep -qx "$heard" "$work/sim.log" || fail "the installed program never asked about a sound of the installed simulator"
else
    fail "the installed program never listened on $socket"
fi
kill -TERM "$program_pid"
for _ in $(seq 200); do kill -0 "$program_pid" 2>/dev/null || break; sleep 0.05; done
if kill -0 "$program_pid" 2>/dev/null; then
    fail "the installed program did not end on SIGTERM"
else
    wait "$program_pid"
    status=$?
    [ $status -eq 0 ] || fail "the installed program ended with status $status, want 0"
    program_pid=""
fi
[ -e "$socket" ] && fail "the installed program left its socket behind"
[ $failures -eq 0 ] || cat "$work/program.log"

if [ $failures -eq 0 ]; then
    echo "package: passed"
    exit 0
fi
echo "package: $failures checks failed"
exit 1
