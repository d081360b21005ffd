#!/usr/bin/env bash
# Installs what is missing, then builds and runs the test suites; CI runs it
# without arguments, which runs every suite. docs/testing.md tells more.
#
#   scripts/test.sh [--suite SUITE]... [--refresh]
#
#   native    the layout check, the core's lock rules checked by Clang, the
#             native build and its tests, a benchmark smoke run
#   sanitize  the tests under AddressSanitizer and UndefinedBehaviorSanitizer
#   thread    the threaded tests under ThreadSanitizer
#   armhf     the armhf build under qemu-arm in its sysroot, its Debian
#             packages, and the core package installed in a device image
#   fuzz      the fuzz targets: their corpora replayed and a short run each
#
# Every compiler call goes through ccache, and the armhf sysroot and device
# root are kept, in the build cache outside the clone (scripts/lib/cache.sh);
# --refresh makes the sysroot and the device root anew. A table of each
# stage's time ends the output.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=lib/cache.sh
source "$root/scripts/lib/cache.sh"

all_suites=(native sanitize thread armhf fuzz)
usage="usage: $0 [--suite native|sanitize|thread|armhf|fuzz]... [--refresh]"
suites=()
refresh=0
while [ $# -gt 0 ]; do
    case $1 in
    --suite)
        [[ " ${all_suites[*]} " == *" ${2:-none} "* ]] || { echo "$usage" >&2; exit 2; }
        suites+=("$2")
        shift 2
        ;;
    --refresh)
        refresh=1
        shift
        ;;
    *)
        echo "$usage" >&2
        exit 2
        ;;
    esac
done
[ ${#suites[@]} -gt 0 ] || suites=("${all_suites[@]}")
# wanted SUITE: whether SUITE is to run.
wanted() {
    [[ " ${suites[*]} " == *" $1 "* ]]
}

# Stages: each `stage NAME` ends the one before as passed and starts NAME;
# at the exit the last one ends as passed or failed, and the table is printed.
stage_names=()
stage_times=()
stage_results=()
stage_start=$SECONDS
start_all=$SECONDS
stage() {
    end_stage passed
    stage_names+=("$1")
    stage_start=$SECONDS
    echo "==== $1 ===="
}
end_stage() {
    [ ${#stage_names[@]} -gt ${#stage_results[@]} ] || return 0
    stage_times+=($((SECONDS - stage_start)))
    stage_results+=("$1")
}
minutes() {
    printf '%d:%02d' $(($1 / 60)) $(($1 % 60))
}
print_stages() {
    local status=$? i
    end_stage "$([ $status -eq 0 ] && echo passed || echo failed)"
    echo
    printf '%-34s %8s  %s\n' stage time result
    for i in "${!stage_names[@]}"; do
        printf '%-34s %8s  %s\n' "${stage_names[$i]}" "$(minutes "${stage_times[$i]}")" "${stage_results[$i]}"
    done
    printf '%-34s %8s  %s\n' total "$(minutes $((SECONDS - start_all)))" \
        "$([ $status -eq 0 ] && echo "passed: ${suites[*]}" || echo "FAILED (exit $status)")"
    ccache_summary
}
# ccache_counts: the cache's hits and misses so far.
ccache_counts() {
    ccache --print-stats | awk '$1 ~ /^(direct_cache_hit|preprocessed_cache_hit)$/ { hit += $2 }
        $1 == "cache_miss" { miss = $2 } END { print hit + 0, miss + 0 }'
}
# ccache_summary: how many compiler calls of this run the cache answered.
ccache_summary() {
    local hits misses
    [ -n "${hits_before:-}" ] || return 0
    read -r hits misses <<<"$(ccache_counts)"
    echo "ccache ($CCACHE_DIR): $((hits - hits_before)) hits, $((misses - misses_before)) misses"
}
trap print_stages EXIT

stage set-up
bash "$root/scripts/setup.sh" test
jobs=$(nproc)
launcher=()
use_build_ccache "$root" launcher
read -r hits_before misses_before <<<"$(ccache_counts)"
refresh_argument=()
[ $refresh -eq 0 ] || refresh_argument=(--refresh)
export CORE_REFRESH_DEVICE_ROOT=$refresh

# shellcheck source=lib/sanitizer-options.sh
source "$root/scripts/lib/sanitizer-options.sh"

# build NAME LEVEL CMAKE-ARGS...: configures build/NAME with the optimisation
# LEVEL and builds it.
build() {
    local name=$1
    # Line tables are all a sanitizer report needs; full debug information
    # would only slow the builds down.
    local flags="$2 -g1 -DNDEBUG"
    shift 2
    cmake -S "$root" -B "$root/build/$name" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_FLAGS_RELWITHDEBINFO="$flags" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$flags" \
        "${launcher[@]}" "$@" >/dev/null
    cmake --build "$root/build/$name" -j "$jobs"
}

# run_tests NAME CTEST-ARGS...: runs the tests of build/NAME.
run_tests() {
    local dir=$root/build/$1
    shift
    # ThreadSanitizer cannot map its shadow under full address randomisation.
    if ! setarch "$(uname -m)" -R ctest --test-dir "$dir" --output-on-failure -j "$((jobs * 2))" "$@" 2>&1 |
        tee "$dir/ctest.log"; then
        # A crash of a sanitizer's own runtime is a fault of the tool, not a
        # finding in our code: say which it was.
        bash "$root/scripts/sanitizer_verdict.sh" "$dir/ctest.log"
        exit 1
    fi
}

# What a suite does not run, it does not build: benchmarks, packages, and for
# ThreadSanitizer the tests without threads.
lean=(-DCORE_BENCHMARKS=OFF -DCORE_PACKAGING=OFF)

if wanted native; then
    stage "native: layout"
    bash "$root/scripts/format-check.sh"
    stage "native: lock rules (clang)"
    # The core's code alone, built by Clang with its lock analysis as errors:
    # a guarded field used without its mutex, or a function called without
    # the lock it needs, fails here. No optimisation and no tests: only the
    # check counts.
    cmake -S "$root" -B "$root/build/thread-safety" -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
        -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS_DEBUG=-O0 -DCMAKE_CXX_FLAGS_DEBUG=-O0 \
        -DCMAKE_CXX_FLAGS="-Wthread-safety -Werror" -DBUILD_TESTING=OFF "${lean[@]}" "${launcher[@]}" >/dev/null
    cmake --build "$root/build/thread-safety" -j "$jobs" --target corelib
    stage "native: build"
    build native -O2
    stage "native: tests"
    # The soak (label "soak") runs for minutes: on demand only.
    run_tests native -LE soak
    stage "native: benchmark smoke run"
    "$root/build/native/bin/core_bench" --quick
fi

if wanted sanitize; then
    stage "sanitize: build"
    # Instrumented by both sanitizers, a source takes three to four times as
    # long to compile at -O2 as uninstrumented, at -O1 half that; -O1 is what
    # the sanitizers' authors advise, and keeps reports' stacks whole.
    build sanitize -O1 -DCORE_SANITIZE=address,undefined "${lean[@]}"
    stage "sanitize: tests"
    run_tests sanitize -LE soak
fi

if wanted thread; then
    stage "thread: build"
    build thread -O2 -DCORE_SANITIZE=thread -DCORE_ONLY_THREAD_TESTS=ON "${lean[@]}"
    stage "thread: tests"
    run_tests thread -L threads
fi

if wanted armhf; then
    stage "armhf: sysroot"
    CORE_ARMHF_SYSROOT=$(bash "$root/scripts/armhf-sysroot.sh" "${refresh_argument[@]}")
    export CORE_ARMHF_SYSROOT
    stage "armhf: build"
    build armhf -O2 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/armhf.cmake" -DCORE_BENCHMARKS=OFF
    stage "armhf: tests"
    run_tests armhf -LE 'soak|device-image'
    # The device's executable: 32-bit ARM, and it runs under the emulator.
    file "$root/build/armhf/bin/core" | grep -q 'ELF 32-bit LSB .* ARM'
    qemu-arm -L "$CORE_ARMHF_SYSROOT" "$root/build/armhf/bin/core" -h
    stage "armhf: device image"
    run_tests armhf -L device-image
fi

if wanted fuzz; then
    stage "fuzz: build"
    bash "$root/scripts/fuzz.sh" --build-only
    stage "fuzz: replay and 10 s a target"
    # Ten seconds a target is a smoke run; scripts/fuzz.sh 3600 is a real one.
    bash "$root/scripts/fuzz.sh" 10
fi
end_stage passed
echo "==== passed: ${suites[*]} ===="
