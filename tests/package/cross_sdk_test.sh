#!/usr/bin/env bash
# A workstation building a plugin for the device with the cross SDK package
# and Debian's cross compilers alone: makes dvrcore-plugin-dev-armhf-cross,
# unpacks it (as dpkg would install it, below a root of its own), builds the
# plugin template with its toolchain file and no sysroot (the template's unit
# test needs the device's GoogleTest, so not that), makes the template's
# Debian package, and has the build's armhf core load the packaged plugin
# under the emulator.
#
# Usage: cross_sdk_test.sh BUILD TEMPLATE VERSION TIME-SCALE EMULATOR...
set -euo pipefail
build=$1 template=$2 version=$3 time_scale=$4
shift 4
emulator=("$@")

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=core_loads_plugin.sh
source "$here/core_loads_plugin.sh"
# shellcheck source=template_package.sh
source "$here/template_package.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
sdk=$root/usr/arm-linux-gnueabihf
plugin_id=16646144 # MY_PLUGIN_ID of the template, 0x00FE0000

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/debs" -D CPACK_COMPONENTS_ALL=cross \
    >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
deb=$work/debs/dvrcore-plugin-dev-armhf-cross_${version}_all.deb
[ -f "$deb" ] || { ls "$work/debs"; fail "no cross SDK package"; }
# What it needs on the workstation is what it says it needs.
for needed in $(dpkg-deb -f "$deb" Depends | tr -d ' ' | tr ',' ' '); do
    [ "$(dpkg-query -W -f='${Status}' "$needed" 2>/dev/null)" = 'install ok installed' ] \
        || fail "$needed, which the cross SDK depends on, is not installed"
done
dpkg-deb -x "$deb" "$root"

# The template, built as its README tells a workstation, without any sysroot
# the environment might name, and its package: for the device's
# architecture, needing the core of this SDK, the plugin in the core's plugin
# directory with the packages' mode.
template_package "$template" "$sdk" "$work"
grep -q '^CMAKE_SYSROOT:' "$template_build/CMakeCache.txt" && fail "the cross SDK's build used a sysroot"
grep -q "^dvrplugin_DIR:PATH=$sdk/lib/cmake/dvrplugin$" "$template_build/CMakeCache.txt" \
    || { grep dvrplugin_DIR "$template_build/CMakeCache.txt"; fail "the template found another dvrplugin package"; }
description=$(file -L "$template_build/my_plugin.so")
grep -q 'ELF 32-bit LSB shared object, ARM, EABI5' <<<"$description" || fail "not an armhf plugin: $description"
depends=$(dpkg-deb -f "$template_deb" Depends)
grep -q "^dvrcore (>= $version)" <<<"$depends" || fail "the plugin's package depends on '$depends'"
listing=$(dpkg-deb -c "$template_deb")
echo "$listing"
grep -q '^-rw-r--r-- root/root .* \./usr/lib/dvrcore/plugins/my_plugin\.so$' <<<"$listing" \
    || fail "the plugin's package holds no my_plugin.so of mode 0644 in /usr/lib/dvrcore/plugins"
! grep '^d' <<<"$listing" | grep -v '^drwxr-xr-x' || fail "a directory of the plugin's package is not 0755"

# The armhf core, from an installation of its own, loads it.
mkdir -p "$work/device/plugins"
cp "$build/bin/core" "$work/device/core"
dpkg-deb -x "$template_deb" "$work/unpacked"
cp "$work/unpacked/usr/lib/dvrcore/plugins/my_plugin.so" "$work/device/plugins/"
core_loads_plugin "$work/device/core" "$work/run" my_plugin.so "$plugin_id" "$time_scale" "${emulator[@]}"
