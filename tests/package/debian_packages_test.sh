#!/usr/bin/env bash
# Makes the build's Debian packages with cpack, under a umask that would let
# the group write, and checks them as Debian's tools see them: names, version
# and architecture, Depends computed from the binaries, the files where
# Debian's policy expects them, every mode set by the packaging rather than
# the umask, and lintian: no error and no warning (docs/packages.md explains
# the remaining notes).
#
# Usage: debian_packages_test.sh BUILD ARCHITECTURE OUTPUT VERSION BRIDGE CROSS
# OUTPUT receives the .deb files; VERSION is the project's; BRIDGE is 1 when
# the build has the MQTT bridge, CROSS 1 when it is a cross build, which also
# makes the cross SDK.
set -euo pipefail
build=$1 arch=$2 output=$3 version=$4 bridge=$5 cross=$6

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

rm -rf "$output"
(umask 002 && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$output") >"$output.log" 2>&1 \
    || { cat "$output.log"; fail "cpack"; }
core=$output/dvrcore_${version}_$arch.deb
sdk=$output/dvrcore-plugin-dev_${version}_$arch.deb
standin=$output/dvrcore-supervisor-standin_${version}_$arch.deb
bridge_deb=$output/dvrcore-mqtt-bridge_${version}_$arch.deb
cross_deb=$output/dvrcore-plugin-dev-armhf-cross_${version}_all.deb
debs=("$core" "$sdk" "$standin")
[ "$bridge" = 1 ] && debs+=("$bridge_deb")
[ "$cross" = 1 ] && debs+=("$cross_deb")
[ "$(find "$output" -maxdepth 1 -name '*.deb' | wc -l)" -eq ${#debs[@]} ] \
    || { ls "$output"; fail "cpack made other packages than ${debs[*]}"; }
for deb in "${debs[@]}"; do
    [ -f "$deb" ] || { ls "$output"; fail "$deb was not made"; }
    expected_arch=$arch
    [ "$deb" = "$cross_deb" ] && expected_arch=all
    [ "$(dpkg-deb -f "$deb" Architecture)" = "$expected_arch" ] || fail "$deb is not for $expected_arch"
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$deb is not version $version"
done

# expect_field DEB FIELD PACKAGE...: each named package is in the field.
expect_field() {
    local deb=$1 field=$2 value pkg
    shift 2
    value=$(dpkg-deb -f "$deb" "$field")
    echo "$(basename "$deb"): $field: $value"
    for pkg in "$@"; do
        grep -Eq "(^|, )$pkg( \(|,|$)" <<<"$value" || fail "$(basename "$deb") has no $pkg in $field"
    done
}
expect_field "$core" Depends libc6 libstdc\\+\\+6 libgcc-s1 libboost-system1.74.0 libboost-filesystem1.74.0 \
    'libboost-regex1.74.0(-icu[0-9]+)?' libboost-thread1.74.0 libtinyxml2.6.2v5 libwxbase3.2-1 zlib1g
! dpkg-deb -f "$core" Depends | grep -q mosquitto || fail "dvrcore depends on libmosquitto"
expect_field "$standin" Depends libc6 libstdc\\+\\+6
expect_field "$sdk" Depends dvrcore-supervisor-standin
expect_field "$sdk" Recommends dvrcore cmake pkg-config libgtest-dev
if [ "$bridge" = 1 ]; then
    expect_field "$bridge_deb" Depends dvrcore libmosquitto1
fi
if [ "$cross" = 1 ]; then
    expect_field "$cross_deb" Depends crossbuild-essential-armhf
fi

# expect_files DEB PATH...: each path is in the package.
expect_files() {
    local deb=$1 contents path
    shift
    contents=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
    for path in "$@"; do
        grep -qx "\\./$path/\\?" <<<"$contents" || fail "$(basename "$deb") lacks /$path"
    done
}
expect_files "$core" usr/lib/dvrcore/core usr/lib/dvrcore/plugins usr/lib/dvrcore/protected-plugins \
    var/lib/dvrcore usr/share/man/man8/core.8.gz usr/share/doc/dvrcore/copyright \
    usr/share/doc/dvrcore/changelog.gz
! dpkg-deb -c "$core" | grep -q 'mqtt' || fail "dvrcore holds the MQTT bridge"
expect_files "$sdk" usr/include/dvrplugin.h usr/include/dvrplugin_testkit.h usr/lib/libdvrplugin_testkit.a \
    usr/lib/cmake/dvrplugin/dvrplugin-config.cmake usr/share/pkgconfig/dvrplugin.pc \
    usr/share/doc/dvrcore-plugin-dev/plugin-guide.md usr/share/doc/dvrcore-plugin-dev/examples/echo_responder.c \
    usr/share/doc/dvrcore-plugin-dev/copyright usr/bin/dvrplugin-inspect usr/share/man/man1/dvrplugin-inspect.1.gz \
    usr/share/dvrplugin/template/CMakeLists.txt
expect_files "$standin" usr/bin/supervisor-standin usr/share/man/man1/supervisor-standin.1.gz \
    usr/lib/dvrplugin/monitor/bus_monitor.so usr/share/doc/dvrcore-supervisor-standin/copyright
if [ "$bridge" = 1 ]; then
    expect_files "$bridge_deb" usr/lib/dvrcore/plugins/mqtt_bridge.so \
        usr/share/doc/dvrcore-mqtt-bridge/mqtt_bridge.xml.example usr/share/doc/dvrcore-mqtt-bridge/mqtt-bridge.md \
        usr/share/doc/dvrcore-mqtt-bridge/broker/fleet.conf usr/share/doc/dvrcore-mqtt-bridge/broker/fleet.acl \
        usr/share/doc/dvrcore-mqtt-bridge/copyright usr/share/doc/dvrcore-mqtt-bridge/changelog.gz
fi
if [ "$cross" = 1 ]; then
    expect_files "$cross_deb" usr/arm-linux-gnueabihf/include/dvrplugin.h \
        usr/arm-linux-gnueabihf/include/dvrplugin_testkit.h usr/arm-linux-gnueabihf/lib/libdvrplugin_testkit.a \
        usr/arm-linux-gnueabihf/lib/cmake/dvrplugin/dvrplugin-config.cmake \
        usr/arm-linux-gnueabihf/lib/cmake/dvrplugin/toolchain.cmake \
        usr/share/doc/dvrcore-plugin-dev-armhf-cross/copyright
    ! dpkg-deb -c "$cross_deb" | awk '{ print $6 }' | grep -Ev '^\./(usr/arm-linux-gnueabihf|usr/share/doc|usr/share/lintian|usr/?$|usr/share/?$|$)' \
        || fail "the cross SDK holds files outside the cross compilers' root"
fi

# Modes: directories 0755, programs 0755, everything else (plugins and
# libraries among it) 0644, all owned by root.
programs='^\./usr/(lib/dvrcore/core|bin/supervisor-standin|bin/dvrplugin-inspect)$'
for deb in "${debs[@]}"; do
    while read -r mode owner _ _ _ path _; do
        expected=-rw-r--r--
        if [ "${mode:0:1}" = d ]; then
            expected=drwxr-xr-x
        elif [[ $path =~ $programs ]]; then
            expected=-rwxr-xr-x
        fi
        [ "$mode" = "$expected" ] || fail "$(basename "$deb"): $path has mode $mode, not $expected"
        [ "$owner" = root/root ] || fail "$(basename "$deb"): $path is owned by $owner"
    done < <(dpkg-deb -c "$deb")
done
echo "names, versions, architectures, Depends, files and modes as expected"

# Running as root is what lintian warns about on its own behalf.
findings=$(lintian --display-info --tag-display-limit 0 "${debs[@]}" 2>&1 | grep -v 'root privileges' || true)
echo "lintian:"
echo "$findings"
! grep -E '^[EW]: ' <<<"$findings" >/dev/null || fail "lintian reports errors or warnings"
