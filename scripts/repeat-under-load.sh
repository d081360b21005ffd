#!/usr/bin/env bash
# Repeats chosen tests while every core is kept busy, until one fails or each
# has run COUNT times: a test that fails one run in fifty on a loaded CI
# machine fails here first. Run it on the tests a change touches before
# submitting it (docs/testing.md).
#
#   scripts/repeat-under-load.sh [--count N] [--build DIR] [--load N] [--jobs N] REGEX
#
#   REGEX     the tests, as ctest -R takes them, e.g. 'JobsTest\.RetainedBuffer'
#   --count   runs of each test at most; 50 by default
#   --build   a configured and built build directory; build/native by default.
#             build/armhf runs the tests under qemu-arm, build/thread under
#             ThreadSanitizer, build/sanitize under AddressSanitizer.
#   --load    busy processes beside the tests; one a core by default, 0 for none
#   --jobs    tests run at once; twice the cores by default, as the test command
#
# Exits 0 when every run passed, 1 at the first failure, whose output is shown.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=lib/sanitizer-options.sh
source "$root/scripts/lib/sanitizer-options.sh"
usage="usage: $0 [--count N] [--build DIR] [--load N] [--jobs N] REGEX"
count=50
build=$root/build/native
load=$(nproc)
jobs=$(($(nproc) * 2))
regex=
while [ $# -gt 0 ]; do
    case $1 in
    --count | --build | --load | --jobs)
        [ $# -ge 2 ] || { echo "$usage" >&2; exit 2; }
        declare "${1#--}=$2"
        shift 2
        ;;
    -*)
        echo "$usage" >&2
        exit 2
        ;;
    *)
        [ -z "$regex" ] || { echo "$usage" >&2; exit 2; }
        regex=$1
        shift
        ;;
    esac
done
[ -n "$regex" ] || { echo "$usage" >&2; exit 2; }
for number in "$count" "$load" "$jobs"; do
    [[ $number =~ ^[0-9]+$ ]] || { echo "$usage" >&2; exit 2; }
done

matched=$(ctest --test-dir "$build" -N -R "$regex" | sed -n 's/^Total Tests: //p')
if [ "${matched:-0}" -eq 0 ]; then
    echo "$0: no test of $build matches '$regex'" >&2
    exit 2
fi

# The load: busy loops at the tests' own priority, ended with this script.
load_processes=()
stop_load() {
    [ ${#load_processes[@]} -eq 0 ] || kill "${load_processes[@]}" 2>/dev/null || true
}
trap stop_load EXIT
for ((i = 0; i < load; i++)); do
    while :; do :; done &
    load_processes+=($!)
done

echo "==== $matched test(s) of $build matching '$regex', up to $count runs each, $jobs at once, beside $load busy process(es) ===="
start=$SECONDS
status=0
# ThreadSanitizer cannot map its shadow under full address randomisation.
setarch "$(uname -m)" -R ctest --test-dir "$build" -R "$regex" --repeat "until-fail:$count" \
    --stop-on-failure -j "$jobs" --output-on-failure || status=$?
if [ $status -eq 0 ]; then
    echo "==== every run passed, after $((SECONDS - start)) s ===="
else
    echo "==== a run failed after $((SECONDS - start)) s (output above) ====" >&2
    exit 1
fi
