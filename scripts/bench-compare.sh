#!/usr/bin/env bash
# Runs the benchmark against the cores of several commits in turn, round
# after round, so that every commit meets the same load, and prints each
# figure's ratio (core / baseline) per round and, at the end, the lowest,
# the median and the highest per commit. Every commit's core is measured by
# the benchmark program of the working tree (its bench/ is copied into each
# commit's tree), so that all are held to the same baselines.
#
#   scripts/bench-compare.sh [--rounds N] [--armhf] [--] REV... [-- BENCHMARK-ARGUMENTS]
#
# --armhf builds for the device and runs under qemu-arm (CORE_ARMHF_SYSROOT,
# as for the armhf build). Each commit is built in build/compare/<commit>.
# The load average is printed with every run: on a shared machine the ratios
# of one round are the ones to set side by side.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
rounds=3
armhf=0
revs=()
extra=()
while [ $# -gt 0 ]; do
    case $1 in
    --rounds) rounds=$2; shift 2 ;;
    --armhf) armhf=1; shift ;;
    --) shift; if [ ${#revs[@]} -gt 0 ]; then extra=("$@"); break; fi ;;
    *) revs+=("$1"); shift ;;
    esac
done
[ ${#revs[@]} -gt 0 ] || { echo "usage: $0 [--rounds N] [--armhf] REV... [-- BENCHMARK-ARGUMENTS]" >&2; exit 2; }
bash "$root/scripts/setup.sh" bench

launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
configure=(-DCMAKE_BUILD_TYPE=Release "${launcher[@]}")
run=()
if [ $armhf = 1 ]; then
    sysroot=${CORE_ARMHF_SYSROOT:-$root/build/armhf-sysroot}
    configure+=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/armhf.cmake")
    run=(qemu-arm -L "$sysroot")
fi

# build REV: the commit's tree with the working tree's benchmark, built.
declare -A program
for rev in "${revs[@]}"; do
    commit=$(git -C "$root" rev-parse --short "$rev^{commit}")
    tree="$root/build/compare/$commit$([ $armhf = 1 ] && echo -armhf || true)"
    if [ ! -d "$tree/src" ]; then
        mkdir -p "$tree/src"
        git -C "$root" archive "$commit" | tar -x -C "$tree/src"
    fi
    rm -rf "$tree/src/bench"
    cp -r "$root/bench" "$tree/src/bench"
    # The benchmark's build uses build_paths, which older trees lack.
    cp "$root/cmake/build_paths.cmake" "$tree/src/cmake/"
    grep -q 'build_paths.cmake' "$tree/src/CMakeLists.txt" \
        || sed -i '/^project(/a include(cmake/build_paths.cmake)' "$tree/src/CMakeLists.txt"
    cmake -S "$tree/src" -B "$tree/build" "${configure[@]}" >/dev/null
    cmake --build "$tree/build" -j "$(nproc)" --target core_bench >/dev/null
    program[$rev]="$tree/build/bin/core_bench"
done

results=$(mktemp)
trap 'rm -f "$results"' EXIT
for round in $(seq "$rounds"); do
    for rev in "${revs[@]}"; do
        load=$(cut -d' ' -f1 /proc/loadavg)
        echo "== round $round, $rev, load $load"
        # A run that leaves figures unmeasured (a filter) fails; its rows count all the same.
        table=$("${run[@]}" "${program[$rev]}" "${extra[@]}" 2>/dev/null | awk '/^figure/ { table = 1; next } table && NF' || true)
        echo "$table"
        echo "$table" | awk -v rev="$rev" '
            { judged = $NF == "yes" || $NF == "NO"; ratio = judged ? $(NF-2) : $(NF-1) }
            ratio ~ /^[0-9.]+$/ && match($0, /.*\)/) { print rev "\t" substr($0, 1, RLENGTH) "\t" ratio }' >>"$results"
    done
done

echo
echo "== ratio per commit: lowest, median, highest of $rounds rounds"
sort -t$'\t' -k2,2 -k1,1 -s "$results" | awk -F'\t' '
function flush(    n, i, j, t) {
    if (key == "") return
    n = count
    for (i = 2; i <= n; ++i) for (j = i; j > 1 && v[j - 1] > v[j]; --j) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
    printf "%-56s %-12s %6.3f %6.3f %6.3f\n", substr(label, 1, 56), rev, v[1], v[int((n + 1) / 2)], v[n]
}
{ if ($1 "\t" $2 != key) { flush(); key = $1 "\t" $2; rev = $1; label = $2; count = 0 } v[++count] = $3 }
END { flush() }'
