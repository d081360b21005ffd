#!/usr/bin/env bash
# Builds the Release benchmark program and runs it: every figure of the core
# beside its baseline from the same run, and their ratio. "--quick" makes a
# short smoke run; other arguments go to Google Benchmark.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/scripts/setup.sh" bench
dir="$root/build/bench"
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$dir" -j "$(nproc)" --target core_bench
exec "$dir/bin/core_bench" "$@"
