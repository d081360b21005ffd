#!/usr/bin/env bash
# The scripts that run as root remove directories and make roots: they refuse
# a directory that is empty, the root, or not below where it belongs, a cache
# directory that others may change, and they name their FIFO where no one
# else can take the name first.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
# shellcheck source=../../scripts/lib/cache.sh
source "$repo/scripts/lib/cache.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# refused COMMAND...: COMMAND fails, saying it refuses.
refused() {
    local status=0
    "$@" >"$work/out" 2>&1 || status=$?
    [ $status -ne 0 ] || fail "accepted: $*"
    grep -qE 'refus|must' "$work/out" || { cat "$work/out"; fail "no refusal for: $*"; }
}

# Removal: only strictly below the parent, after links are followed.
mkdir -p "$work/cache/inside/deeper" "$work/outside"
touch "$work/outside/kept" "$work/cache/kept"
ln -s "$work/outside" "$work/cache/escape"
refused remove_below "$work/cache" ""
refused remove_below "" "$work/cache/inside"
refused remove_below "$work/cache" /
refused remove_below / "/nonexistent-$$"
refused remove_below "$work/cache" "$work/cache"
refused remove_below "$work/cache" "$work/cache/"
refused remove_below "$work/cache" "$work/cache/.."
refused remove_below "$work/cache" "$work/cache/../outside"
refused remove_below "$work/cache" "$work/cache/escape"
refused remove_below "$work/cache" "$work/cache/escape/kept"
[ -e "$work/outside/kept" ] && [ -e "$work/cache/kept" ] || fail "a refused removal removed something"
remove_below "$work/cache" "$work/cache/inside"
[ ! -e "$work/cache/inside" ] && [ -e "$work/cache/kept" ] || fail "the directory below the parent was not removed alone"
echo "removal: empty names, the root, the parent itself, .. and links out are refused"

# The cache directory: absolute, not the root, ours alone.
CORE_BUILD_CACHE='' refused build_cache_dir
CORE_BUILD_CACHE=relative/cache refused build_cache_dir
CORE_BUILD_CACHE=/ refused build_cache_dir
CORE_BUILD_CACHE=$work/.. refused build_cache_dir
mkdir -m 0777 "$work/shared"
CORE_BUILD_CACHE=$work/shared refused build_cache_dir
if [ "$(id -u)" -eq 0 ]; then
    mkdir "$work/someone-elses"
    chown 65534 "$work/someone-elses"
    CORE_BUILD_CACHE=$work/someone-elses refused build_cache_dir
fi
[ "$(CORE_BUILD_CACHE=$work/new/cache build_cache_dir)" = "$work/new/cache" ] || fail "a fresh cache directory was not made"
echo "cache directory: relative, the root, shared or someone else's is refused"

# The scripts refuse before they make anything: mmdebstrap is never called.
mkdir "$work/bin"
printf '#!/bin/sh\necho called >>"%s/mmdebstrap-calls"\n' "$work" >"$work/bin/mmdebstrap"
chmod +x "$work/bin/mmdebstrap"
export PATH=$work/bin:$PATH
CORE_BUILD_CACHE=/ refused bash "$repo/scripts/armhf-sysroot.sh"
CORE_BUILD_CACHE=$work/shared refused bash "$repo/scripts/armhf-device-root.sh" libc6
for dir in "" / "$repo" "$repo/build" "$repo/build/.." "$work/outside"; do
    refused bash "$repo/scripts/fresh-machine-check.sh" "$dir"
done
[ ! -e "$work/mmdebstrap-calls" ] || fail "a script went on to mmdebstrap after a refusal"
[ -e "$work/outside/kept" ] || fail "fresh-machine-check removed a directory outside the build directory"
echo "the root scripts refuse a bad cache or target directory before making anything"

# The FIFO through which the emulator wrapper hands on: in a directory of its
# own that only root may enter, never directly in the shared temporary one.
if [ "$(id -u)" -eq 0 ] && [ -r /usr/lib/binfmt.d/qemu-arm.conf ]; then
    mkdir -m 1777 "$work/tmp"
    # shellcheck disable=SC2016
    TMPDIR=$work/tmp bash "$repo/scripts/with-armhf-binfmt.sh" \
        bash -c 'find "$TMPDIR" -mindepth 1 -printf "%P %y %m\n" | sort' >"$work/tmp-listing"
    dir=$(awk '$2 == "d" { print $1 }' "$work/tmp-listing")
    [ "$(wc -l <"$work/tmp-listing")" -eq 2 ] && grep -qx "$dir d 700" "$work/tmp-listing" &&
        grep -qx "$dir/ready p 600" "$work/tmp-listing" || { cat "$work/tmp-listing"; fail "the FIFO is not private"; }
    [ -z "$(ls -A "$work/tmp")" ] || fail "the FIFO's directory was left behind"
    echo "the emulator wrapper's FIFO lies in a private directory, removed afterwards"
else
    echo "not root or no qemu-user-static: the emulator wrapper's FIFO was not checked"
fi
