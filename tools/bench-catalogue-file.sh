#!/usr/bin/env bash
# Times the catalogue file's save and load (65,534 entries) and, as the floor a load is measured
# against, `xmllint --noout` parsing the very same file. Wall and CPU time both: on a busy machine
# the CPU figures are the steadier ones. Then loads (or refusals) of hostile files and of the largest
# file a save writes, one process each, with their peak memory.
#
#   tools/bench-catalogue-file.sh [build folder]      (default: build; needs catalogue_file_bench)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
bench=$build/bench/catalogue_file_bench
if [[ ! -x $bench ]]; then
    echo "no $bench: build it first (ninja -C $build catalogue_file_bench)" >&2
    exit 1
fi
command -v xmllint >/dev/null || { echo "xmllint is missing (apt-get install libxml2-utils)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
file=$work/catalogue.xml
"$bench" --write-catalogue="$file"
echo "catalogue file: $(wc -c <"$file") bytes, $(grep -c '<sound ' "$file") entries"
echo

"$bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_out="$work/bench.csv" --benchmark_out_format=csv | grep -v -E '_(median|stddev|cv) '

runs=20
echo
if command -v hyperfine >/dev/null; then
    hyperfine --warmup 3 --runs $runs --export-csv "$work/xmllint.csv" "xmllint --noout '$file'"
    # command,mean,stddev,median,user,system,min,max (seconds)
    read -r floor_wall floor_cpu < <(awk -F, 'NR == 2 { printf "%.1f %.1f\n", $2 * 1000, ($5 + $6) * 1000 }' "$work/xmllint.csv")
else
    xmllint --noout "$file" # warm the cache
    TIMEFORMAT='%R %U %S'
    read -r real user sys < <({ time for ((i = 0; i < runs; ++i)); do xmllint --noout "$file"; done; } 2>&1)
    floor_wall=$(awk -v t="$real" -v n=$runs 'BEGIN { printf "%.1f", t * 1000 / n }')
    floor_cpu=$(awk -v u="$user" -v s="$sys" -v n=$runs 'BEGIN { printf "%.1f", (u + s) * 1000 / n }')
    echo "xmllint --noout: $runs runs"
fi

# Mean wall and CPU ms of one benchmark (CSV: name,iterations,real_time,cpu_time,time_unit,...).
means() {
    awk -F, -v name="\"$1/real_time_mean\"" '$1 == name { printf "%.1f %.1f\n", $3, $4 }' "$work/bench.csv"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

echo
printf '%-26s %9s %8s %9s %8s\n' "" "wall ms" "x floor" "CPU ms" "x floor"
printf '%-26s %9s %8s %9s %8s\n' "xmllint --noout (floor)" "$floor_wall" 1.00 "$floor_cpu" 1.00
for name in Parse Load/UTF-8 Load/CP932 Save; do
    read -r wall cpu < <(means "$name")
    printf '%-26s %9s %8s %9s %8s\n' "$name" "$wall" "$(ratio "$wall" "$floor_wall")" "$cpu" "$(ratio "$cpu" "$floor_cpu")"
done

# Hostile files and the largest file a save writes, each loaded once in a process of its own, so
# that the peak memory is the load's.
echo
echo "Load or refuse, one process each (wall, CPU, peak memory of the process):"
"$bench" --write-hostile="$work"
for f in "$file" "$work/attributes.xml" "$work/entities.xml" "$work/largest.xml"; do
    printf '%-16s %10s bytes  ' "$(basename "$f")" "$(wc -c <"$f")"
    "$bench" --load="$f"
done
