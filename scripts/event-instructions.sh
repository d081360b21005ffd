#!/usr/bin/env bash
# Counts, under callgrind, the instructions the core's delivery loop spends per
# event, beside the bare queue's consumer from the same run of the benchmark
# program; and those a raise costs the raising thread, beside the bare
# queue's push. A fixed number of events makes the counts the same from run
# to run, which wall-clock figures on a shared machine are not. For each case
# it prints both counts, their ratio and the core's costliest functions.
#
#   scripts/event-instructions.sh [EVENTS]    (default 100000 a case)
#
# The outputs stay in build/bench/callgrind for callgrind_annotate.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
events=${1:-100000}
bash "$root/scripts/setup.sh" profile
dir="$root/build/bench"
out="$dir/callgrind"
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$dir" -j "$(nproc)" --target core_bench

# Only these functions and what they call are counted: the loop that takes
# events from the queue and calls every Write, and its baseline's consumer;
# or the event entry on the raising threads, and its baseline's push.
core_loop='dvrcore::DeliverEvents()'
bare_loop='bench::BareQueue::Consume()'
core_raise='FlatPluginEvent'
bare_raise='bench::BareQueue::Push(void const*, unsigned long)'

totals() { awk '/^totals:/ { print $2 }' "$1"; }

# count_case NAME BENCHMARK ROW CORE-FUNCTION BARE-FUNCTION: one run of the
# benchmark, the core and the benchmark program each under callgrind. The
# program's exit status only says that the other figures are missing; the
# case's own row must be measured.
count_case() {
    local name=$1 benchmark=$2 row=$3 core_function=$4 bare_function=$5 core bare
    CORE_BENCH_WRAPPER="valgrind -q --tool=callgrind --callgrind-out-file=$out/$name-core.out --toggle-collect=$core_function" \
        valgrind -q --tool=callgrind --callgrind-out-file="$out/$name-bare.out" --toggle-collect="$bare_function" \
        "$dir/bin/core_bench" --events="$events" --benchmark_filter="^$benchmark/" >"$out/$name.log" 2>&1 || true
    core=$(totals "$out/$name-core.out" 2>/dev/null || true)
    bare=$(totals "$out/$name-bare.out" 2>/dev/null || true)
    if ! grep -F "$row" "$out/$name.log" | grep -qv "not measured" || [ -z "$core" ] || [ -z "$bare" ]; then
        cat "$out/$name.log"
        echo "event-instructions: $benchmark did not complete under callgrind" >&2
        exit 1
    fi
    echo "==== $benchmark, $name: $events events ===="
    awk -v core="$core" -v bare="$bare" -v events="$events" 'BEGIN {
        printf "instructions per event: core %.0f, bare queue %.0f, ratio %.2f\n",
            core / events, bare / events, core / bare }'
    echo "the core's costliest functions here (instructions of their own, whole run):"
    callgrind_annotate --threshold=90 "$out/$name-core.out" | awk '/file:function/ { shown = 1; next } shown && NF' |
        sed -E 's/_Hashtable<.*>::/_Hashtable<...>::/; s/ \[[^]]*\]$//' | head -n 15
}

rm -rf "$out"
mkdir -p "$out"
count_case 1x1 events_1x1_64 "events/s, 1 raiser -> 1 Write, 64 B" "$core_loop" "$bare_loop"
count_case 4x3 events_4x3_64 "events/s, 4 raisers -> 3 Writes (1 keeps), 64 B" "$core_loop" "$bare_loop"
# The raises of four raisers, with no release among them (one Write, no keeper).
count_case 4x1-raise events_4x1_64 "events/s, 4 raisers -> 1 Write, 64 B" "$core_raise" "$bare_raise"
