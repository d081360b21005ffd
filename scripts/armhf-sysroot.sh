#!/usr/bin/env bash
# Makes the armhf sysroot that the cross build compiles and links against and
# that qemu-arm runs the armhf programs in (cmake/armhf.cmake): the -dev
# packages of the build from Debian 12's main and updates suites, extracted
# with their dependencies and nothing of the build machine. One C library,
# consistent with itself, is what lets threaded programs run under the
# emulator; the build machine's own package versions do not matter.
#
#   scripts/armhf-sysroot.sh DIR
#
# DIR is kept while this script (its package list) is unchanged and made
# anew otherwise.
# Run as root.
set -euo pipefail
dir=$1
mirror=http://deb.debian.org/debian
packages=(
    libc6-dev libstdc++-12-dev
    libboost-system-dev libboost-filesystem-dev libboost-regex-dev
    libboost-date-time-dev libboost-random-dev libboost-atomic-dev
    libboost-thread-dev libboost-chrono-dev
    libtinyxml-dev libwxgtk3.2-dev zlib1g-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    libmosquitto-dev
)
sources=("deb $mirror bookworm main" "deb $mirror bookworm-updates main")
# This script, whose package list and steps make the sysroot.
recipe=$(sha256sum <"${BASH_SOURCE[0]}")

if [ "$(cat "$dir/.recipe" 2>/dev/null)" = "$recipe" ]; then
    exit 0
fi
echo "==== armhf sysroot: $dir ===="
rm -rf "$dir" "$dir.new"
mkdir -p "$(dirname "$dir")"
# Nothing is installed through dpkg here, so dpkg-shlibdeps cannot ask dpkg
# which package a library comes from. The packages' symbols and shlibs files,
# gathered in DEBIAN/, make the sysroot look to it like one package being
# built, whose files tell each library's dependency (cmake/debian.cmake).
mmdebstrap --quiet --variant=extract --architectures=armhf \
    --include="$(IFS=,; echo "${packages[*]}")" \
    --extract-hook='mkdir "$1/DEBIAN"; for deb in "$1"/var/cache/apt/archives/*.deb; do
        dpkg-deb --info "$deb" symbols >>"$1/DEBIAN/symbols" 2>/dev/null || true
        dpkg-deb --info "$deb" shlibs >>"$1/DEBIAN/shlibs" 2>/dev/null || true; done' \
    bookworm "$dir.new" "${sources[@]}"

# Absolute links would lead the linker and the emulator out of the sysroot
# into the build machine's own files: make them relative.
root=$(realpath "$dir.new")
find "$root" -type l -lname '/*' -print0 | while IFS= read -r -d '' link; do
    target=$(readlink "$link")
    ln -sfn "$(realpath -sm --relative-to="$(dirname "$link")" "$root$target")" "$link"
done
# The emulator looks a path up in the sysroot first: the device nodes and
# /tmp that mmdebstrap made would stand in for the build machine's (its
# /dev/ptmx has no pseudo-terminals behind it).
rm -rf "${root:?}/dev" "$root/tmp"
printf '%s\n' "$recipe" >"$root/.recipe"
mv "$dir.new" "$dir"
