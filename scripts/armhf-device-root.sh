#!/usr/bin/env bash
# Makes an armhf root file system like the device's: Debian 12's minbase,
# installed by its own package scripts under the emulator, plus the packages
# given. Nothing of the build machine is in it.
#
#   scripts/armhf-device-root.sh DIR [PACKAGE...]
#
# DIR is kept while this script and the package list are unchanged, and made
# anew otherwise. Run as root; needs mmdebstrap and qemu-user-static.
set -euo pipefail
scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
dir=$1
shift
packages=("$@")
mirror=http://deb.debian.org/debian
sources=("deb $mirror bookworm main" "deb $mirror bookworm-updates main")
recipe=$( (cat "${BASH_SOURCE[0]}"; printf '%s\n' "${packages[@]}") | sha256sum)

if [ "$(cat "$dir/.recipe" 2>/dev/null)" = "$recipe" ]; then
    exit 0
fi
echo "==== armhf device root: $dir ===="
rm -rf "$dir" "$dir.new"
mkdir -p "$(dirname "$dir")"
# The emulator is registered for mmdebstrap alone, so its check for a
# machine-wide registration does not apply.
bash "$scripts/with-armhf-binfmt.sh" mmdebstrap --quiet --variant=minbase --architectures=armhf \
    --skip=check/qemu ${packages[0]:+--include="$(IFS=,; echo "${packages[*]}")"} \
    bookworm "$dir.new" "${sources[@]}"
printf '%s\n' "$recipe" >"$dir.new/.recipe"
mv "$dir.new" "$dir"
