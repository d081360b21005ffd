#!/usr/bin/env bash
# Builds the fuzz targets with clang 14 in build/fuzz, replays each seed corpus in fuzz/corpus,
# then fuzzes each target for a bounded time. Exits non-zero on a finding, whose input is kept in
# build/fuzz/findings. Compiles through ccache in the build cache, as the test command does.
#
#   scripts/fuzz.sh [SECONDS]     fuzzing time per target, 20 by default; e.g. 3600 for a long run
#   scripts/fuzz.sh --build-only  builds the fuzz targets and nothing else
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=lib/cache.sh
source "$root/scripts/lib/cache.sh"
seconds=${1:-20}
dir="$root/build/fuzz"
targets=(packet_stream split_strings xml_nesting xml_load_with_backup)

launcher=()
if command -v ccache >/dev/null; then
    use_build_ccache "$root" launcher
fi
# Only the fuzz targets: no tests, benchmarks or packages.
cmake -S "$root" -B "$dir" -DCORE_FUZZ=ON -DBUILD_TESTING=OFF -DCORE_BENCHMARKS=OFF -DCORE_PACKAGING=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
    "${launcher[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)" --target fuzz_targets
[ "$seconds" != --build-only ] || exit 0

# shellcheck source=lib/sanitizer-options.sh
source "$root/scripts/lib/sanitizer-options.sh"
mkdir -p "$dir/findings"
failed=()
for target in "${targets[@]}"; do
    fuzzer="$dir/fuzz/fuzz_$target"
    seeds="$root/fuzz/corpus/$target"
    options=(-timeout=30 -artifact_prefix="$dir/findings/$target-" -print_final_stats=1)
    case $target in xml_*) options+=(-dict="$root/fuzz/xml.dict") ;; esac
    echo "==== fuzz $target: replay ===="
    if ! "$fuzzer" "${options[@]}" -runs=0 "$seeds"; then
        failed+=("$target (replay)")
        continue
    fi
    echo "==== fuzz $target: ${seconds}s ===="
    # New inputs go to the build directory; the seeds in the repository stay as they are.
    mkdir -p "$dir/corpus/$target"
    if ! "$fuzzer" "${options[@]}" -max_total_time="$seconds" "$dir/corpus/$target" "$seeds"; then
        failed+=("$target")
    fi
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzzing found faults in: ${failed[*]}; inputs in $dir/findings" >&2
    exit 1
fi
echo "==== fuzzing found nothing ===="
