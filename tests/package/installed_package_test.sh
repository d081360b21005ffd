#!/usr/bin/env bash
# Installs a build into a temporary prefix and uses it as a plugin author
# outside this repository would: builds a C plugin with a ten-line CMake
# project (hello_plugin/, copied to a fresh directory), the example plugins
# on their own, and the same plugin with a plain compiler call and
# pkg-config's flags; runs an example plugin through the installed test kit
# (kit_check/); builds the installed plugin template, runs its test and
# inspects its plugin; and has the installed core load the plugin. A cross build's
# package carries its toolchain file; everything built must then be 32-bit
# ARM, and the programs run under the emulator.
#
# Usage: installed_package_test.sh BUILD EXAMPLES CMAKE CC TIME-SCALE [EMULATOR...]
set -euo pipefail
build=$1 examples=$2 cmake=$3 cc=$4 time_scale=$5
shift 5
emulator=("$@")

fixtures=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
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
    # The MQTT bridge and its example settings, where the build has libmosquitto.
    if [ -e "$build/bin/plugins/mqtt_bridge.so" ]; then
        for entry in lib/dvrcore/plugins/mqtt_bridge.so lib/dvrcore/plugins/mqtt_bridge.xml.example; do
            [ -e "$prefix/$entry" ] || fail "$entry is not installed"
        done
        expect_elf "$prefix/lib/dvrcore/plugins/mqtt_bridge.so" "shared object"
    fi
    local dynamic
    dynamic=$(readelf -d "$prefix/lib/dvrcore/core")
    # shellcheck disable=SC2016 # the literal text $ORIGIN
    grep -q 'R.*PATH.*\[\$ORIGIN/lib\]' <<<"$dynamic" || fail "the installed core lost its \$ORIGIN/lib search path"
    "${emulator[@]}" "$prefix/bin/supervisor-standin" --help >/dev/null || fail "installed stand-in does not run"
}

check_pkg_config() {
    local flags version header_version
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
}

check_test_kit() {
    cp -r "$fixtures/kit_check" "$work/kit"
    build_project "$work/kit" "$work/kit-build"
    "${emulator[@]}" "$work/kit-build/kit_check" "$work/examples-build/plugins/echo_responder.so" \
        || fail "the installed test kit did not run the echo responder"
}

# The template as an author starts from it: copied, built, its test run, and
# the plugin it builds inspected.
check_template() {
    cp -r "$prefix/share/dvrplugin/template" "$work/template"
    build_project "$work/template" "$work/template-build"
    expect_elf "$work/template-build/my_plugin.so" "shared object"
    "${emulator[@]}" "$work/template-build/my_plugin_test" || fail "the template's test failed"
    "${emulator[@]}" "$prefix/bin/dvrplugin-inspect" "$work/template-build/my_plugin.so" \
        || fail "the installed inspector says the core would refuse the template's plugin"
}

# Runs the installed core with the plugin until it has written its modules
# report, stops it as the system would, with SIGTERM, and reads the report.
check_core_loads_plugin() {
    local run=$work/run deadline core status=0
    mkdir -p "$run"
    cp "$work/hello-build/hello_plugin.so" "$prefix/lib/dvrcore/plugins/"
    (cd "$run" && exec "${emulator[@]}" "$prefix/lib/dvrcore/core") >"$run/output" 2>&1 &
    core=$!
    deadline=$((SECONDS + 60 * time_scale))
    until grep -q '</kDVR>' "$run/plugins.xml" 2>/dev/null; do
        if [ $SECONDS -ge $deadline ] || ! kill -0 "$core" 2>/dev/null; then
            kill -KILL "$core" 2>/dev/null || true
            cat "$run/output"
            fail "the installed core wrote no modules report"
        fi
        sleep 0.2
    done
    kill -TERM "$core"
    wait "$core" || status=$?
    [ $status -eq 0 ] || { cat "$run/output"; fail "the installed core exited with $status after SIGTERM"; }
    grep -q "<Plugin ID=\"$plugin_id\" Filename=\"hello_plugin.so\" .*OpenCode=\"0\"" "$run/plugins.xml" \
        || { cat "$run/plugins.xml"; fail "the installed core did not load and open hello_plugin.so"; }
    echo "the installed core loaded and opened hello_plugin.so"
    # Without its settings file the installed bridge loads, opens and stays off.
    if [ -e "$prefix/lib/dvrcore/plugins/mqtt_bridge.so" ]; then
        grep -q '<Plugin ID="5046272" Filename="mqtt_bridge.so" .*OpenCode="0"' "$run/plugins.xml" \
            || { cat "$run/plugins.xml"; fail "the installed core did not load and open mqtt_bridge.so"; }
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
