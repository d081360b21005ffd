#!/usr/bin/env bash
# Makes an armhf root file system like the device's: Debian 12's minbase,
# installed by its own package scripts under the emulator, plus the packages
# given. Nothing of the build machine is in it.
#
#   scripts/armhf-device-root.sh [--refresh] [PACKAGE...]
#
# The root lives in the build cache (scripts/lib/cache.sh) under a name made
# from this script and the package list: it is kept while they are unchanged
# and made anew otherwise, or with --refresh. Prints its path. The archive is
# the one this machine's apt uses. Run as root; needs mmdebstrap and
# qemu-user-static.
set -euo pipefail
scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib/cache.sh
source "$scripts/lib/cache.sh"
# shellcheck source=lib/apt-sources.sh
source "$scripts/lib/apt-sources.sh"
refresh=0
if [ "${1:-}" = --refresh ]; then
    refresh=1
    shift
fi
packages=("$@")

# make_root DIR
make_root() {
    local sources proxy
    apt_sources sources bookworm bookworm-updates
    apt_proxy_options proxy
    # The emulator is registered for mmdebstrap alone, so its check for a
    # machine-wide registration does not apply.
    bash "$scripts/with-armhf-binfmt.sh" mmdebstrap --quiet --variant=minbase --architectures=armhf \
        --skip=check/qemu "${proxy[@]}" ${packages[0]:+--include="$(IFS=,; echo "${packages[*]}")"} \
        bookworm "$1" "${sources[@]}"
}

recipe=$( (cat "${BASH_SOURCE[0]}"; printf '%s\n' "${packages[@]}") | sha256sum)
root=
cached_root root armhf-device-root "$recipe" "$refresh" make_root
printf '%s\n' "$root"
