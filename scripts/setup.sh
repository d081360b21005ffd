#!/usr/bin/env bash
# Installs every Debian 12 package that the build, the tests and the armhf
# cross build need. Idempotent; run as root.
set -euo pipefail

native_packages=(
    build-essential cmake pkg-config file util-linux libxml2-utils
    libboost-system-dev libboost-filesystem-dev libboost-regex-dev
    libboost-date-time-dev libboost-random-dev libboost-atomic-dev
    libboost-thread-dev libboost-chrono-dev
    libtinyxml-dev libwxgtk3.2-dev zlib1g-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    clang-14 libclang-rt-14-dev
)

armhf_packages=(
    libboost-system-dev:armhf libboost-filesystem-dev:armhf
    libboost-regex-dev:armhf libboost-date-time-dev:armhf
    libboost-random-dev:armhf libboost-atomic-dev:armhf
    libboost-thread-dev:armhf libboost-chrono-dev:armhf
    libtinyxml-dev:armhf libwxgtk3.2-dev:armhf zlib1g-dev:armhf
    libgtest-dev:armhf libbenchmark-dev:armhf
)

missing() {
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' \
            || echo "$pkg"
    done
}

export DEBIAN_FRONTEND=noninteractive

want_native=$(missing "${native_packages[@]}" crossbuild-essential-armhf qemu-user)
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    dpkg --add-architecture armhf
    need_update=1
fi
want_armhf=$(missing "${armhf_packages[@]}")

if [ -n "$want_native$want_armhf" ] || [ -n "${need_update:-}" ]; then
    apt-get update -q
fi
if [ -n "$want_native" ]; then
    # shellcheck disable=SC2086
    apt-get install -y -q --no-install-recommends $want_native
fi
if [ -n "$want_armhf" ]; then
    # --no-remove: an armhf package must never take a native one away.
    # shellcheck disable=SC2086
    apt-get install -y -q --no-install-recommends --no-remove $want_armhf
fi
