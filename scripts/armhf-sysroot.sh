#!/usr/bin/env bash
# Makes the armhf sysroot that the cross build compiles and links against and
# that qemu-arm runs the armhf programs in (cmake/armhf.cmake): the -dev
# packages of the build from Debian 12's main and updates suites, extracted
# with their dependencies and nothing of the build machine. One C library,
# consistent with itself, is what lets threaded programs run under the
# emulator; the build machine's own package versions do not matter.
#
#   scripts/armhf-sysroot.sh [--refresh]
#
# The sysroot lives in the build cache (scripts/lib/cache.sh) under a name
# made from this script, its package list and steps: it is kept while they
# are unchanged and made anew otherwise, or with --refresh. Prints its path
# and links the repository's build/armhf-sysroot to it, where the toolchain
# file looks. The archive is the one this machine's apt uses.
# Run as root.
set -euo pipefail
scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$scripts")
# shellcheck source=lib/cache.sh
source "$scripts/lib/cache.sh"
# shellcheck source=lib/apt-sources.sh
source "$scripts/lib/apt-sources.sh"
packages=(
    libc6-dev libstdc++-12-dev
    libboost-system-dev libboost-filesystem-dev libboost-regex-dev
    libboost-date-time-dev libboost-random-dev libboost-atomic-dev
    libboost-thread-dev libboost-chrono-dev
    libtinyxml-dev libwxgtk3.2-dev zlib1g-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    libmosquitto-dev
)

refresh=0
case ${1:-} in
--refresh) refresh=1 ;;
'') ;;
*)
    echo "usage: $0 [--refresh]" >&2
    exit 2
    ;;
esac

# make_sysroot DIR
make_sysroot() {
    local dir=$1 sources proxy root
    apt_sources sources bookworm bookworm-updates
    apt_proxy_options proxy
    # Nothing is installed through dpkg here, so dpkg-shlibdeps cannot ask dpkg
    # which package a library comes from. The packages' symbols and shlibs
    # files, gathered in DEBIAN/, make the sysroot look to it like one package
    # being built, whose files tell each library's dependency
    # (cmake/debian.cmake).
    mmdebstrap --quiet --variant=extract --architectures=armhf "${proxy[@]}" \
        --include="$(IFS=,; echo "${packages[*]}")" \
        --extract-hook='mkdir "$1/DEBIAN"; for deb in "$1"/var/cache/apt/archives/*.deb; do
            dpkg-deb --info "$deb" symbols >>"$1/DEBIAN/symbols" 2>/dev/null || true
            dpkg-deb --info "$deb" shlibs >>"$1/DEBIAN/shlibs" 2>/dev/null || true; done' \
        bookworm "$dir" "${sources[@]}"

    # Absolute links would lead the linker and the emulator out of the sysroot
    # into the build machine's own files: make them relative.
    root=$(realpath "$dir")
    find "$root" -type l -lname '/*' -print0 | while IFS= read -r -d '' link; do
        target=$(readlink "$link")
        ln -sfn "$(realpath -sm --relative-to="$(dirname "$link")" "$root$target")" "$link"
    done
    # The emulator looks a path up in the sysroot first: the device nodes and
    # /tmp that mmdebstrap made would stand in for the build machine's (its
    # /dev/ptmx has no pseudo-terminals behind it).
    remove_below "$root" "$root/dev"
    remove_below "$root" "$root/tmp"
}

# This script, whose package list and steps make the sysroot.
sysroot=
cached_root sysroot armhf-sysroot "$(sha256sum <"${BASH_SOURCE[0]}")" "$refresh" make_sysroot
# The toolchain file's default place. A directory there is a sysroot of an
# older layout of this repository.
link=$repo/build/armhf-sysroot
mkdir -p "$repo/build"
if [ -d "$link" ] && [ ! -L "$link" ]; then
    remove_below "$repo/build" "$link"
fi
ln -sfn "$sysroot" "$link"
printf '%s\n' "$sysroot"
