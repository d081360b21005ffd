#!/usr/bin/env bash
# Runs scripts/setup.sh against a stand-in apt (apt-get and dpkg-query first on
# PATH) that plays an imperfect archive: an index that fails to download, a
# package whose dependencies cannot be met.
#
# Usage: setup_test.sh REPOSITORY
set -euo pipefail
setup=$1/scripts/setup.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

mkdir "$work/bin"
# dpkg-query: what $work/installed lists is installed.
cat >"$work/bin/dpkg-query" <<'STUB'
#!/usr/bin/env bash
grep -qx -- "${!#}" "$STUB/installed" 2>/dev/null && printf 'install ok installed'
exit 0
STUB
# apt-get: logs each call; "update" fails as with a mirror in the middle of a
# sync; a package listed in $work/broken cannot be installed.
cat >"$work/bin/apt-get" <<'STUB'
#!/usr/bin/env bash
echo "apt-get $*" >>"$STUB/calls"
while [ "$1" = -q ] || [ "$1" = -o ]; do
    [ "$1" = -o ] && shift
    shift
done
case $1 in
update)
    echo "E: Failed to fetch http://mirror/dists/bookworm-security/main/binary-armhf/Packages.xz  File has unexpected size (359552 != 360800). Mirror sync in progress?"
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
    exit 100 ;;
install)
    for pkg in "$@"; do
        if grep -qx -- "$pkg" "$STUB/broken" 2>/dev/null; then
            echo " $pkg : Depends: libexpat1 (= 2.5.0-1) but 2.5.0-1+deb12u1 is to be installed"
            echo "E: Unable to correct problems, you have held broken packages."
            exit 100
        fi
    done
    [ "$2" = -s ] && exit 0
    shift 3 # install -y --no-install-recommends
    printf '%s\n' "$@" >>"$STUB/installed" ;;
esac
STUB
chmod +x "$work/bin/"*

# run_setup MODE: runs set-up with the stand-in apt; its status in $status.
run_setup() {
    status=0
    STUB=$work PATH=$work/bin:$PATH bash "$setup" "$1" >"$work/out" 2>"$work/err" || status=$?
}

# A failed index download is a warning; every package of the native run is
# installed, and no armhf package nor anything of the cross build.
run_setup run
[ $status -eq 0 ] || { cat "$work/err"; fail "set-up stopped at a failed index download (status $status)"; }
grep -q 'warning: .*Mirror sync in progress' "$work/err" || fail "the failed download was not reported as a warning"
grep -q "^apt-get .*APT::Architectures=$(dpkg --print-architecture) update" "$work/calls" \
    || fail "apt fetched other architectures' indexes"
for pkg in build-essential cmake libboost-filesystem-dev libtinyxml-dev libwxgtk3.2-dev; do
    grep -qx "$pkg" "$work/installed" || fail "run set-up did not install $pkg"
done
! grep -E ':armhf|crossbuild|qemu|mmdebstrap|clang' "$work/installed" || fail "run set-up installed more than the native run needs"
echo "a failed index download is a warning; run set-up installs the native packages only"

# With everything there, set-up asks apt nothing.
: >"$work/calls"
run_setup run
[ $status -eq 0 ] && [ ! -s "$work/calls" ] || fail "set-up called apt although nothing was missing"
echo "nothing missing: apt is not called"

# A package that cannot be installed: one line naming it and why, nothing installed.
grep -vx libtinyxml-dev "$work/installed" >"$work/kept"
mv "$work/kept" "$work/installed"
echo libtinyxml-dev >"$work/broken"
run_setup run
[ $status -ne 0 ] || fail "set-up went on without libtinyxml-dev"
grep -q '^setup: cannot install libtinyxml-dev: .*Depends: libexpat1 (= 2.5.0-1) but 2.5.0-1+deb12u1 is to be installed$' "$work/err" \
    || { cat "$work/err"; fail "the uninstallable package was not named with its reason"; }
[ "$(grep -c '^setup: cannot install' "$work/err")" -eq 1 ] || { cat "$work/err"; fail "more than one package was blamed"; }
! grep -q 'apt-get install -y' "$work/calls" || fail "set-up installed packages although one cannot be installed"
echo "an uninstallable package stops set-up with one line naming it and why"
