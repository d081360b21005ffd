#!/usr/bin/env bash
# Makes the build's Debian packages with cpack and checks them as Debian's
# tools see them: names, version and architecture, Depends computed from the
# binaries, the files where Debian's policy expects them, and lintian: no
# error and no warning (the README explains the remaining notes).
#
# Usage: debian_packages_test.sh BUILD ARCHITECTURE OUTPUT VERSION
# OUTPUT receives the .deb files; VERSION is the project's.
set -euo pipefail
build=$1 arch=$2 output=$3 version=$4

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

rm -rf "$output"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$output" >"$output.log" 2>&1 \
    || { cat "$output.log"; fail "cpack"; }
core=$output/dvrcore_${version}_$arch.deb
sdk=$output/dvrcore-plugin-dev_${version}_$arch.deb
standin=$output/dvrcore-supervisor-standin_${version}_$arch.deb
for deb in "$core" "$sdk" "$standin"; do
    [ -f "$deb" ] || { ls "$output"; fail "$deb was not made"; }
    [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "$deb is not for $arch"
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$deb is not version $version"
done

# expect_depends DEB PACKAGE...: each named package is among its Depends.
expect_depends() {
    local deb=$1 depends pkg
    shift
    depends=$(dpkg-deb -f "$deb" Depends)
    echo "$(basename "$deb"): Depends: $depends"
    for pkg in "$@"; do
        grep -Eq "(^|, )$pkg( \(|,|$)" <<<"$depends" || fail "$(basename "$deb") does not depend on $pkg"
    done
}
expect_depends "$core" libc6 libstdc\\+\\+6 libgcc-s1 libboost-system1.74.0 libboost-filesystem1.74.0 \
    'libboost-regex1.74.0(-icu[0-9]+)?' libboost-thread1.74.0 libtinyxml2.6.2v5 libwxbase3.2-1 zlib1g
expect_depends "$standin" libc6 libstdc\\+\\+6
expect_depends "$sdk" dvrcore-supervisor-standin

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
    usr/share/doc/dvrcore/copyright usr/share/doc/dvrcore/changelog.gz
expect_files "$sdk" usr/include/dvrplugin.h usr/include/dvrplugin_testkit.h usr/lib/libdvrplugin_testkit.a \
    usr/lib/cmake/dvrplugin/dvrplugin-config.cmake usr/share/pkgconfig/dvrplugin.pc \
    usr/share/doc/dvrcore-plugin-dev/plugin-guide.md usr/share/doc/dvrcore-plugin-dev/examples/echo_responder.c \
    usr/share/doc/dvrcore-plugin-dev/copyright usr/bin/dvrplugin-inspect usr/share/man/man1/dvrplugin-inspect.1.gz \
    usr/share/dvrplugin/template/CMakeLists.txt
expect_files "$standin" usr/bin/supervisor-standin usr/share/man/man1/supervisor-standin.1.gz \
    usr/lib/dvrplugin/monitor/bus_monitor.so usr/share/doc/dvrcore-supervisor-standin/copyright
echo "names, versions, architecture, Depends and files as expected"

# Running as root is what lintian warns about on its own behalf.
findings=$(lintian --display-info --tag-display-limit 0 "$core" "$sdk" "$standin" 2>&1 | grep -v 'root privileges' || true)
echo "lintian:"
echo "$findings"
! grep -E '^[EW]: ' <<<"$findings" >/dev/null || fail "lintian reports errors or warnings"
