#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test suite: native,
# native with AddressSanitizer and UndefinedBehaviorSanitizer, the threaded
# tests with ThreadSanitizer, and the armhf build under qemu-arm in its sysroot.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/scripts/setup.sh" test
jobs=$(nproc)
optimised="-O2 -g1 -DNDEBUG"

# run_suite NAME CTEST-ARGS -- CMAKE-ARGS...
run_suite() {
    local name=$1 ctest_args=$2
    shift 3
    local dir="$root/build/$name"
    echo "==== $name ===="
    # Line tables are all a sanitizer report needs; full debug information
    # would only slow four builds down.
    cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_FLAGS_RELWITHDEBINFO="$optimised" \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$optimised" "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    # ThreadSanitizer cannot map its shadow under full address randomisation.
    # shellcheck disable=SC2086
    if ! setarch "$(uname -m)" -R ctest --test-dir "$dir" --output-on-failure \
            -j "$((jobs * 2))" $ctest_args 2>&1 | tee "$dir/ctest.log"; then
        # A crash of a sanitizer's own runtime is a fault of the tool, not a
        # finding in our code: say which it was.
        bash "$root/scripts/sanitizer_verdict.sh" "$dir/ctest.log"
        exit 1
    fi
}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

echo "==== layout: clang-format ===="
bash "$root/scripts/format-check.sh"

echo "==== lock rules: clang -Wthread-safety ===="
# The core's code alone, built by Clang with its lock analysis as errors: a
# guarded field used without its mutex, or a function called without the lock
# it needs, fails here. No optimisation and no tests: only the check counts.
cmake -S "$root" -B "$root/build/thread-safety" -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
    -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS_DEBUG=-O0 -DCMAKE_CXX_FLAGS_DEBUG=-O0 \
    -DCMAKE_CXX_FLAGS="-Wthread-safety -Werror" -DBUILD_TESTING=OFF >/dev/null
cmake --build "$root/build/thread-safety" -j "$jobs" --target corelib

# The soak (label "soak") runs for minutes: on demand only, see the README.
run_suite native "-LE soak" --
echo "==== benchmark smoke run (no thresholds) ===="
"$root/build/native/bin/core_bench" --quick
run_suite sanitize "-LE soak" -- -DCORE_SANITIZE=address,undefined
run_suite thread "-L threads" -- -DCORE_SANITIZE=thread
# The device image takes minutes to make; its command is in the README.
run_suite armhf "-LE soak|device-image" -- -DCMAKE_TOOLCHAIN_FILE="$root/cmake/armhf.cmake"
# The device's executable: 32-bit ARM, and it runs under the emulator.
file "$root/build/armhf/bin/core" | grep -q 'ELF 32-bit LSB .* ARM'
qemu-arm -L "$root/build/armhf-sysroot" "$root/build/armhf/bin/core" -h
echo "==== fuzz targets: corpus replay and a short run ===="
# Ten seconds a target keeps the whole command within half an hour.
bash "$root/scripts/fuzz.sh" 10
echo "==== all suites passed ===="
