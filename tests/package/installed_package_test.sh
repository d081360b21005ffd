#!/usr/bin/env bash
# Installs a build into a temporary prefix and uses it as a plugin author
# outside this repository would: builds a C plugin with a ten-line CMake
# project (hello_plugin/, copied to a fresh directory), the example plugins
# on their own, and the same plugin with a plain compiler call and
# pkg-config's flags; runs an example plugin through the installed test kit
# (kit_check/); builds the installed plugin template, runs its test,
# inspects its plugin and installs it by its own rule; and has the installed
# core load both plugins. A cross build's
# package carries its toolchain file; everything built must then be 32-bit
# ARM, and the programs run under the emulator.
#
# Usage: installed_package_test.sh BUILD EXAMPLES CMAKE CC TIME-SCALE [EMULATOR...]
set -euo pipefail
build=$1 examples=$2 cmake=$3 cc=$4 time_scale=$5
shift 5
emulator=("$@")

fixtures=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=core_loads_plugin.sh
source "$fixtures/core_loads_plugin.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
plugin_id=11206656 # HELLO_ID of hello_plugin.c, 0x00AB0000

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# expect_elf FILE KIND: a cross build's output must be for the device.
expect_elf() {
    local description
    description=$(file -L "$1")
    echo "$description"
    grep -q "ELF .* $2" <<<"$description" || fail "$1 is not an ELF $2"
    if [ -n "$toolchain" ]; then
        grep -q 'ELF 32-bit LSB .* ARM' <<<"$description" || fail "$1 is not 32-bit ARM"
    fi
}

# build_project SOURCE BINARY: configure against the installed package only.
build_project() {
    "$cmake" -S "$1" -B "$2" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release \
        ${toolchain:+-DCMAKE_TOOLCHAIN_FILE="$toolchain"} >"$2.log" 2>&1 \
        || { cat "$2.log"; fail "configuring $1"; }
    "$cmake" --build "$2" -j 2 >>"$2.log" 2>&1 || { cat "$2.log"; fail "building $1"; }
}

check_installation() {
    local entry
    for entry in lib/dvrcore/core lib/dvrcore/plugins lib/dvrcore/protected-plugins bin/supervisor-standin \
        bin/dvrplugin-inspect include/dvrplugin.h include/dvrplugin_testkit.h \
        lib/cmake/dvrplugin/dvrplugin-config.cmake lib/cmake/dvrplugin/dvrplugin-config-version.cmake \
        lib/cmake/dvrplugin/dvrplugin-testkit-helpers.cmake share/pkgconfig/dvrplugin.pc \
        lib/dvrplugin/monitor/bus_monitor.so share/dvrplugin/template/CMakeLists.txt; do
        [ -e "$prefix/$entry" ] || fail "$entry is not installed"
    done
    # The MQTT bridge, where the build has libmosquitto, with its example
    # settings in its documentation, not among the plugins.
    if [ -e "$build/bin/plugins/mqtt_bridge.so" ]; then
        for entry in lib/dvrcore/plugins/mqtt_bridge.so share/doc/dvrcore-mqtt-bridge/mqtt_bridge.xml.example; do
            [ -e "$prefix/$entry" ] || fail "$entry is not installed"
        done
        expect_elf "$prefix/lib/dvrcore/plugins/mqtt_bridge.so" "shared object"
    fi
    [ "$(find "$prefix/lib/dvrcore/plugins" -type f ! -name '*.so')" = "" ] \
        || fail "the plugin directory holds other files than plugins"
    # The state directory is the Debian package's alone.
    if [ -e "$prefix/var" ] || [ -e "$prefix/../var" ]; then
        fail "an installation under a prefix made a var directory"
    fi
    local dynamic
    dynamic=$(readelf -d "$prefix/lib/dvrcore/core")
    # shellcheck disable=SC2016 # the literal text $ORIGIN
    grep -q 'R.*PATH.*\[\$ORIGIN/lib\]' <<<"$dynamic" || fail "the installed core lost its \$ORIGIN/lib search path"
    "${emulator[@]}" "$prefix/bin/supervisor-standin" --help >/dev/null || fail "installed stand-in does not run"
}

check_pkg_config() {
    local flags version header_version plugins_dir
    flags=$(PKG_CONFIG_PATH=$prefix/share/pkgconfig pkg-config --cflags dvrplugin) || fail "pkg-config does not know dvrplugin"
    echo "pkg-config --cflags dvrplugin: $flags"
    version=$(PKG_CONFIG_PATH=$prefix/share/pkgconfig pkg-config --modversion dvrplugin)
    header_version=$(sed -n 's/^#define DVRPLUGIN_VERSION_STRING "\(.*\)"$/\1/p' "$prefix/include/dvrplugin.h")
    [ "$header_version" = "$version" ] || fail "dvrplugin.h names version '$header_version', the package $version"
    mkdir -p "$work/pkg-config"
    # shellcheck disable=SC2086
    "$cc" -std=c99 -Wall -Wextra -Werror -shared -fPIC $flags "$work/hello/hello_plugin.c" \
        -o "$work/pkg-config/hello_plugin.so" || fail "pkg-config's flags do not build the plugin"
    expect_elf "$work/pkg-config/hello_plugin.so" "shared object"
    # The plugin directory, as build systems ask for it.
    plugins_dir=$(PKG_CONFIG_PATH=$prefix/share/pkgconfig pkg-config --variable=pluginsdir dvrplugin)
    [ "$(realpath "$plugins_dir")" = "$(realpath "$prefix/lib/dvrcore/plugins")" ] \
        || fail "pkg-config's pluginsdir is $plugins_dir, not $prefix/lib/dvrcore/plugins"
}

check_test_kit() {
    cp -r "$fixtures/kit_check" "$work/kit"
    build_project "$work/kit" "$work/kit-build"
    "${emulator[@]}" "$work/kit-build/kit_check" "$work/examples-build/plugins/echo_responder.so" \
        || fail "the installed test kit did not run the echo responder"
}

# The template as an author starts from it: copied, built, its test run, the
# plugin it builds inspected and installed by its own rule into the plugin
# directory the CMake package names, with the mode of the packages' plugins.
check_template() {
    cp -r "$prefix/share/dvrplugin/template" "$work/template"
    build_project "$work/template" "$work/template-build"
    expect_elf "$work/template-build/my_plugin.so" "shared object"
    "${emulator[@]}" "$work/template-build/my_plugin_test" || fail "the template's test failed"
    "${emulator[@]}" "$prefix/bin/dvrplugin-inspect" "$work/template-build/my_plugin.so" \
        || fail "the installed inspector says the core would refuse the template's plugin"
    (umask 002 && "$cmake" --install "$work/template-build") >/dev/null || fail "installing the template's plugin"
    local installed=$prefix/lib/dvrcore/plugins/my_plugin.so
    [ -f "$installed" ] || fail "the template's install rule did not put my_plugin.so into $prefix/lib/dvrcore/plugins"
    [ "$(stat -c %a "$installed")" = 644 ] || fail "the template installed my_plugin.so with mode $(stat -c %a "$installed")"
}

# The installed core loads the plugin put into its plugin directory, and the
# installed bridge, without its settings file, loads, opens and stays off.
check_core_loads_plugin() {
    cp "$work/hello-build/hello_plugin.so" "$prefix/lib/dvrcore/plugins/"
    core_loads_plugin "$prefix/lib/dvrcore/core" "$work/run" hello_plugin.so "$plugin_id" "$time_scale" \
        "${emulator[@]}"
    # The template's plugin, MY_PLUGIN_ID 0x00FE0000, from its install rule.
    grep -q '<Plugin ID="16646144" Filename="my_plugin.so" .*OpenCode="0"' "$work/run/plugins.xml" \
        || { cat "$work/run/plugins.xml"; fail "the installed core did not load and open my_plugin.so"; }
    if [ -e "$prefix/lib/dvrcore/plugins/mqtt_bridge.so" ]; then
        grep -q '<Plugin ID="5046272" Filename="mqtt_bridge.so" .*OpenCode="0"' "$work/run/plugins.xml" \
            || { cat "$work/run/plugins.xml"; fail "the installed core did not load and open mqtt_bridge.so"; }
        echo "the installed core loaded and opened mqtt_bridge.so"
    fi
}

"$cmake" --install "$build" --prefix "$prefix" >/dev/null
toolchain=""
if [ -e "$prefix/lib/cmake/dvrplugin/toolchain.cmake" ]; then
    toolchain=$prefix/lib/cmake/dvrplugin/toolchain.cmake
fi
check_installation

cp -r "$fixtures/hello_plugin" "$work/hello"
build_project "$work/hello" "$work/hello-build"
expect_elf "$work/hello-build/hello_plugin.so" "shared object"

build_project "$examples" "$work/examples-build"
for plugin in "$work"/examples-build/plugins/*.so; do
    expect_elf "$plugin" "shared object"
done

check_pkg_config
check_test_kit
check_template
check_core_loads_plugin
