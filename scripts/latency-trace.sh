#!/usr/bin/env bash
# Where the latency benchmark's time goes, event by event: runs it under the
# kernel's scheduler tracepoints (perf sched, as root) with the benchmark's
# own stamps taken by the same clock, and splits each sample, the core's and
# the bare queue's alike, into
#   raise:  from the raise (or push) being called to the consumer's wake-up
#           being asked for (sched_waking),
#   wake:   from there until the consumer's thread runs (sched_switch),
#   run:    from there until its Write (or function) begins,
# then prints the split for all samples and for the slowest 1 %, and what
# the woken thread found on its processor: an idle one, the thread that woke
# it (still on its way to sleep), or which other task it had to wait for.
#
#   scripts/latency-trace.sh [OUTPUT-DIR]    (default build/bench/latency-trace)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${1:-$root/build/bench/latency-trace}
bash "$root/scripts/setup.sh" bench
dir="$root/build/bench"
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$dir" -j "$(nproc)" --target core_bench
mkdir -p "$out"
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
# The run leaves every other figure unmeasured, so its exit status says
# nothing: the samples must be there.
rm -f "$out/samples.txt"
perf sched record -k CLOCK_MONOTONIC -q -o "$out/sched.data" -- \
    "$dir/bin/core_bench" --benchmark_filter='^latency' --latency-dump="$out/samples.txt" >"$out/bench.log" 2>&1 || true
if [ ! -s "$out/samples.txt" ]; then
    cat "$out/bench.log"
    echo "latency-trace: the latency benchmark did not complete" >&2
    exit 1
fi
grep '^latency,' "$out/bench.log"
perf script -i "$out/sched.data" --ns -F tid,cpu,time,event,trace 2>/dev/null |
    grep -E 'sched:sched_(waking|switch):' >"$out/sched.txt"

awk '
function ns(text) { sub(/:$/, "", text); split(text, part, "."); return part[1] * 1000000000 + part[2] }
function field(name,    i) { for (i = 1; i <= NF; ++i) if (index($i, name "=") == 1) return substr($i, length(name) + 2); return "" }
function sortup(a, lo, hi,    i, last, t) {
    if (lo >= hi) return
    t = a[lo]; a[lo] = a[int((lo + hi) / 2)]; a[int((lo + hi) / 2)] = t
    last = lo
    for (i = lo + 1; i <= hi; ++i) if (a[i] < a[lo]) { ++last; t = a[last]; a[last] = a[i]; a[i] = t }
    t = a[lo]; a[lo] = a[last]; a[last] = t
    sortup(a, lo, last - 1); sortup(a, last + 1, hi)
}
function pct(list, n, f,    k, sorted) {
    for (k = 1; k <= n; ++k) sorted[k] = list[k]
    sortup(sorted, 1, n)
    return sorted[int(f * (n - 1)) + 1]
}
FNR == NR {
    n = ++samples[$1]; side[$1, n] = $1; tid[$1, n] = $2; called[$1, n] = $3; began[$1, n] = $5
    wanted[$2] = 1
    next
}
{
    current = $1; cpu = $2; gsub(/[\[\]]/, "", cpu); at = ns($3)
    if ($4 == "sched:sched_waking:") {
        t = field("pid")
        if (t in wanted) { k = ++wakes[t]; wakeAt[t, k] = at; wakeCpu[t, k] = cpu + 0; waker[t, k] = current }
    } else {
        t = field("next_pid")
        if (t in wanted) {
            k = ++runs[t]; runAt[t, k] = at; runCpu[t, k] = cpu + 0
            runAfter[t, k] = field("prev_comm"); runAfterTid[t, k] = field("prev_pid")
        }
    }
}
END {
    for (s in samples) {
        n = samples[s]; m = 0; delete total; delete raise; delete wake; delete run; delete after
        for (i = 1; i <= n; ++i) {
            t = tid[s, i]; c = called[s, i]; b = began[s, i]
            total[i] = b - c
            # the last wake-up asked for in [called, began], and the first run after it
            w = 0; for (k = wakes[t]; k >= 1; --k) if (wakeAt[t, k] <= b) { if (wakeAt[t, k] >= c) w = k; break }
            if (w == 0) { raise[i] = -1; continue }
            r = 0; for (k = 1; k <= runs[t]; ++k) if (runAt[t, k] >= wakeAt[t, w]) { r = k; break }
            if (r == 0 || runAt[t, r] > b) { raise[i] = -1; continue }
            raise[i] = wakeAt[t, w] - c; wake[i] = runAt[t, r] - wakeAt[t, w]; run[i] = b - runAt[t, r]
            after[i] = runAfter[t, r]
            if (runAfterTid[t, r] == 0) after[i] = "an idle processor"
            else if (runAfterTid[t, r] == waker[t, w]) after[i] = "the waker"
            sameCpu[i] = (runCpu[t, r] == wakeCpu[t, w])
        }
        p50 = pct(total, n, 0.5); p99 = pct(total, n, 0.99)
        printf "\n%s: %d samples, raise called -> consumer began: median %.1f us, 99th percentile %.1f us\n", s, n, p50 / 1000, p99 / 1000
        for (pass = 1; pass <= 2; ++pass) {
            k = 0; traced = 0; untraced = 0; delete R; delete W; delete U; delete found; same = 0
            for (i = 1; i <= n; ++i) {
                if (pass == 2 && total[i] < p99) continue
                if (raise[i] < 0) { ++untraced; continue }
                ++k; R[k] = raise[i]; W[k] = wake[i]; U[k] = run[i]; ++found[after[i]]; same += sameCpu[i]
            }
            printf "  %s (%d with a traced wake-up, %d without):\n", pass == 1 ? "all samples" : "the slowest 1 %", k, untraced
            if (k == 0) continue
            printf "    raise  median %7.1f us   max %7.1f us\n", pct(R, k, 0.5) / 1000, pct(R, k, 1) / 1000
            printf "    wake   median %7.1f us   max %7.1f us\n", pct(W, k, 0.5) / 1000, pct(W, k, 1) / 1000
            printf "    run    median %7.1f us   max %7.1f us\n", pct(U, k, 0.5) / 1000, pct(U, k, 1) / 1000
            printf "    woken on the waker'"'"'s processor: %d of %d; it took over from:", same, k
            for (a in found) printf " %s %d,", a, found[a]
            printf "\n"
        }
    }
}' "$out/samples.txt" "$out/sched.txt"
