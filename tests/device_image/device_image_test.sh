#!/usr/bin/env bash
# Installs the armhf packages, with dpkg --root, into an armhf root file
# system that holds only Debian 12's minbase and the packages that their
# Depends name, so dpkg checks the dependencies against that system, not the
# build machine: the core, the MQTT bridge, the stand-in, and a plugin
# package made from the template with the cross SDK package, as a
# workstation makes it. Then runs the installed core from inside it through
# qemu-arm -L, in its package's working directory, with those plugins and
# the example plugins, under the installed stand-in, and stops it once the
# echo responder has answered. It must exit with 0 and leave the expected
# console and files. Then it removes a library the core needs from the root
# and sees the same run fail, so a package that forgot a dependency cannot
# pass. Last, it removes the packages, which must keep the core's files, and
# purges the core's, which must remove them.
#
# Usage: device_image_test.sh BUILD SOURCE TIME-SCALE
# The root file system is kept in the build cache while its package list is
# unchanged (scripts/armhf-device-root.sh), and made anew when
# CORE_REFRESH_DEVICE_ROOT is 1 (scripts/test.sh --refresh).
set -euo pipefail
build=$1 source=$2 time_scale=$3
# shellcheck source=../package/template_package.sh
source "$source/tests/package/template_package.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# depended_packages DEB...: the package names their Depends give, the first
# of each set of alternatives.
depended_packages() {
    local deb
    for deb in "$@"; do
        dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed -E 's/\|.*//; s/\(.*\)//; s/[[:space:]]//g'
    done | grep -v '^dvrcore' | sort -u
}

make_packages() {
    cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/debs" \
        -D 'CPACK_COMPONENTS_ALL=core;bridge;standin;cross' >"$work/cpack.log" 2>&1 \
        || { cat "$work/cpack.log"; fail "cpack"; }
    core_deb=$(echo "$work"/debs/dvrcore_*_armhf.deb)
    bridge_deb=$(echo "$work"/debs/dvrcore-mqtt-bridge_*_armhf.deb)
    standin_deb=$(echo "$work"/debs/dvrcore-supervisor-standin_*_armhf.deb)
    dpkg-deb -x "$(echo "$work"/debs/dvrcore-plugin-dev-armhf-cross_*_all.deb)" "$work/cross-sdk"
    mkdir "$work/template"
    template_package "$source/template" "$work/cross-sdk/usr/arm-linux-gnueabihf" "$work/template"
    plugin_deb=$template_deb
}

make_root() {
    local packages refresh=() kept
    mapfile -t packages < <(depended_packages "$core_deb" "$bridge_deb" "$standin_deb" "$plugin_deb")
    echo "root file system: minbase and ${packages[*]}"
    [ "${CORE_REFRESH_DEVICE_ROOT:-0}" != 1 ] || refresh=(--refresh)
    kept=$(bash "$source/scripts/armhf-device-root.sh" "${refresh[@]}" "${packages[@]}")
    cp -a "$kept" "$root"
    ! find "$root" -type f -name '*.so*' -exec file {} + | grep 'ELF' | grep -v 'ARM' \
        || fail "the root file system holds a library that is not armhf"
    dpkg --root="$root" --install "$core_deb" "$bridge_deb" "$standin_deb" "$plugin_deb" \
        || fail "dpkg refused the packages"
    local plugin
    for plugin in "${example_plugins[@]}"; do
        cp "$build/bin/plugins/$plugin.so" "$root/usr/lib/dvrcore/plugins/"
    done
}

# run_core DIRECTORY: the installed stand-in runs the installed core in
# DIRECTORY until the echo responder has answered its demo packet ("hello")
# and the modules report is written, then is stopped as a user would, with
# SIGTERM. Sets $status.
run_core() {
    local dir=$1 standin deadline
    mkdir -p "$dir"
    # The stand-in starts the core itself: the kernel hands the armhf core
    # to the emulator, which QEMU_LD_PREFIX points at the same root.
    (cd "$dir" && QEMU_LD_PREFIX=$root exec bash "$source/scripts/with-armhf-binfmt.sh" \
        qemu-arm -L "$root" "$root/usr/bin/supervisor-standin" --seconds 86400 --record received.log \
        "$root/usr/lib/dvrcore/core" </dev/null >console.log 2>&1) &
    standin=$!
    deadline=$((SECONDS + 120 * time_scale))
    until grep -q '6563686f3a2068656c6c6f$' "$dir/received.log" 2>/dev/null &&
        grep -q '</kDVR>' "$dir/plugins.xml" 2>/dev/null; do
        if ! kill -0 $standin 2>/dev/null || [ $SECONDS -ge $deadline ]; then
            break
        fi
        sleep 0.2
    done
    # The stand-in is the one child of the emulation wrapper.
    kill -TERM "$(pgrep -P $standin)" 2>/dev/null || true
    status=0
    wait $standin || status=$?
}

example_plugins=(echo_responder logger producer consumer job_runner ticker printer)
make_packages
make_root
echo "dvrcore, the bridge, the stand-in and the template's plugin installed into the armhf root"

# In the working directory the package made for it; the bridge, without its
# settings, opens and stays off.
state=$root/var/lib/dvrcore
[ "$(stat -c '%a %U %G' "$state")" = '755 root root' ] || fail "$state is $(stat -c '%a %U %G' "$state")"
run_core "$state"
cat "$state/console.log"
[ $status -eq 0 ] || fail "the installed core under the stand-in exited with $status"
grep -q "the core's working directory is $state " "$state/console.log" \
    || fail "the stand-in did not name the core's working directory"
# 27 bytes: the header {27, 0x0EC00000, 1, 0} and "echo: hello".
grep -q ' 27 1b0000000000c00e0100000000000000''6563686f3a2068656c6c6f$' "$state/received.log" \
    || fail "no answer from the echo responder"
for plugin in "${example_plugins[@]}" mqtt_bridge my_plugin; do
    grep -q "Filename=\"$plugin.so\" .*OpenCode=\"0\"" "$state/plugins.xml" \
        || { cat "$state/plugins.xml"; fail "$plugin.so was not loaded and opened"; }
done
grep -q '<kDVR' "$state/core.xml" || fail "no core.xml"
echo "the installed core ran the packaged and the example plugins in the armhf root and stopped with 0"

library=$(find "$root/usr/lib/arm-linux-gnueabihf" -name 'libtinyxml.so.*' -type f | head -n 1)
rm "$library"
run_core "$work/run-without-library"
[ $status -ne 0 ] || fail "the core ran without $(basename "$library")"
complaint=$(grep -m 1 "$(basename "$library" | cut -d. -f1-3)" "$work/run-without-library/console.log") \
    || { cat "$work/run-without-library/console.log"; fail "the failure does not name the missing library"; }
echo "without $(basename "$library") the same run fails with $status: $complaint"

# Removing the core keeps what it wrote in its working directory; purging it
# removes that. Its maintainer script runs in the root, under the emulator.
in_root_dpkg() {
    bash "$source/scripts/with-armhf-binfmt.sh" dpkg --root="$root" "$@" >>"$work/dpkg.log" 2>&1 \
        || { cat "$work/dpkg.log"; fail "dpkg $*"; }
}
in_root_dpkg --remove my-plugin dvrcore-mqtt-bridge dvrcore-supervisor-standin dvrcore
[ -f "$state/core.xml" ] || fail "removing dvrcore removed the core's files"
in_root_dpkg --purge dvrcore
[ ! -e "$state" ] || fail "purging dvrcore left $state"
echo "removing dvrcore kept $state, purging it removed it"
