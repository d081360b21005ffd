# shellcheck shell=bash
# Sourced by the package tests.
#
# template_package TEMPLATE SDK WORK: builds the plugin template TEMPLATE for
# the device in WORK, as a workstation does, with the toolchain file of the
# cross SDK unpacked at SDK (its /usr/arm-linux-gnueabihf), no sysroot and no
# unit test (which needs the device's GoogleTest), and makes its Debian
# package under a umask that would let the group write. Sets template_build
# and template_deb.
template_package() {
    local template=$1 sdk=$2 work=$3
    template_build=$work/template-build
    cp -r "$template" "$work/template"
    env -u CORE_ARMHF_SYSROOT cmake -S "$work/template" -B "$template_build" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$sdk/lib/cmake/dvrplugin/toolchain.cmake" -DMY_PLUGIN_TESTS=OFF \
        >"$work/template.log" 2>&1 || { cat "$work/template.log"; fail "configuring the template"; }
    cmake --build "$template_build" >>"$work/template.log" 2>&1 \
        || { cat "$work/template.log"; fail "building the template"; }
    (umask 002 && cd "$template_build" && cpack -B "$work/template-debs") >>"$work/template.log" 2>&1 \
        || { cat "$work/template.log"; fail "cpack of the template"; }
    template_deb=$(echo "$work"/template-debs/my-plugin_*_armhf.deb)
    [ -f "$template_deb" ] || { ls "$work/template-debs"; fail "no armhf package of the template's plugin"; }
}
