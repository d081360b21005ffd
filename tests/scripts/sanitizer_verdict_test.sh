#!/usr/bin/env bash
# The test command's verdict on a failed sanitizer run: a crash inside the
# sanitizer's runtime is told apart from a finding in our code.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
verdict="$here/../../scripts/sanitizer_verdict.sh"

expect() {
    local log=$1 wanted=$2 out
    out=$(bash "$verdict" "$log")
    if ! grep -qF -- "$wanted" <<<"$out"; then
        printf 'for %s expected a line with "%s", got:\n%s\n' "$log" "$wanted" "$out" >&2
        exit 1
    fi
}

expect "$here/sanitizer_runtime_crash.log" "1 sanitizer runtime crash(es), 0 finding(s)"
expect "$here/sanitizer_runtime_crash.log" "sanitizer runtime crash, not a finding: ThreadSanitizer: SEGV"
expect "$here/sanitizer_findings.log" "0 sanitizer runtime crash(es), 3 finding(s)"
expect "$here/sanitizer_findings.log" "finding: ThreadSanitizer: data race"
expect "$here/sanitizer_findings.log" "finding: our code crashed: AddressSanitizer: SEGV"
expect "$here/sanitizer_findings.log" "finding: undefined behaviour: signed integer overflow"
expect /dev/null "no sanitizer report in the output"
