#!/usr/bin/env bash
# Reads the output of a failed sanitizer test run and says, for each sanitizer
# report in it, whether the sanitizer's own runtime crashed (a fault of the
# tool, not of the code under test) or the sanitizer found something in our
# code (a race, a memory error, undefined behaviour, a leak, or a crash of our
# own code). Prints one line per report and a final tally; always exits 0, so
# the caller decides.
#
#     scripts/sanitizer_verdict.sh LOG
set -euo pipefail
log=${1:?usage: sanitizer_verdict.sh LOG}

awk '
function flush() {
    if (kind == "") return
    if (deadly && runtime_frame)
        printf "sanitizer runtime crash, not a finding: %s in %s\n", headline, frame
    else if (deadly)
        printf "finding: our code crashed: %s in %s\n", headline, frame
    else
        printf "finding: %s\n", headline
    if (deadly && runtime_frame) crashes++; else findings++
    kind = ""; deadly = 0; frame = ""; runtime_frame = 0
}
# A deadly signal is announced first, then its report and stack follow.
/Sanitizer:DEADLYSIGNAL/ { flush(); pending_deadly = 1; next }
/(ERROR|WARNING): [A-Za-z]+Sanitizer: / {
    flush()
    kind = "report"; deadly = pending_deadly; pending_deadly = 0
    headline = $0; sub(/^.*(ERROR|WARNING): /, "", headline)
    next
}
/ runtime error: / {
    flush(); kind = "ub"; headline = $0; sub(/^.*runtime error: /, "undefined behaviour: ", headline)
    flush(); next
}
# The first frame of a deadly report tells whose code faulted.
kind != "" && frame == "" && $1 == "#0" {
    frame = $0; sub(/^[ \t]*#0 0x[0-9a-f]+ in /, "", frame)
    runtime_frame = (frame ~ /^(__tsan|__asan|__lsan|__ubsan|__sanitizer|__interception|__interceptor_)/ \
                     || frame ~ /lib(t|a|ub|l)san\.so/)
}
/^SUMMARY: [A-Za-z]+Sanitizer/ { flush() }
END {
    flush()
    if (crashes + findings == 0)
        print "no sanitizer report in the output: an ordinary test failure"
    else
        printf "%d sanitizer runtime crash(es), %d finding(s)\n", crashes, findings
}
' "$log"
