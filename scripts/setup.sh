#!/usr/bin/env bash
# Installs the Debian 12 packages that one use of this repository needs, and
# nothing more. Idempotent; run as root.
#
#   scripts/setup.sh run     building and running the core natively (scripts/run.sh)
#   scripts/setup.sh bench   the above and Google Benchmark (scripts/bench.sh)
#   scripts/setup.sh profile the above and valgrind (scripts/event-instructions.sh)
#   scripts/setup.sh test    everything the test command needs: ccache, sanitizers,
#                            fuzzing, the armhf cross build, the Debian packages and
#                            the device image (scripts/test.sh, which makes the
#                            armhf sysroot itself)
#
# The archive is not always whole: an index that fails to download is a
# warning, and apt goes on with the indexes it has. Only a package that cannot
# be installed stops set-up, with one line naming it and why.
set -euo pipefail

run_packages=(
    build-essential cmake pkg-config
    libboost-system-dev libboost-filesystem-dev libboost-regex-dev
    libboost-date-time-dev libboost-random-dev libboost-atomic-dev
    libboost-thread-dev libboost-chrono-dev
    libtinyxml-dev libwxgtk3.2-dev zlib1g-dev
    # Configuring the build also configures its tests, and its packages'
    # manual pages (docs/man/, Markdown).
    libgtest-dev libgmock-dev go-md2man
)
bench_packages=(libbenchmark-dev)
profile_packages=(valgrind)
# The armhf build needs no armhf package of the build machine: its libraries
# come from a sysroot of their own (scripts/armhf-sysroot.sh).
test_packages=(
    file util-linux procps
    # Every build of the test command compiles through it.
    ccache
    # xmllint: the modules report must parse with a standard XML parser.
    libxml2-utils
    clang-14 libclang-rt-14-dev clang-format-14
    crossbuild-essential-armhf qemu-user mmdebstrap
    # The Debian packages and the armhf device image.
    lintian qemu-user-static
    # The MQTT bridge plugin (mqtt_bridge/) and its tests: the broker, the
    # command-line clients and openssl, which makes the tests' certificate
    # authority.
    libmosquitto-dev mosquitto mosquitto-clients openssl
    # jq: the JSON the bridge publishes must parse with a standard JSON parser.
    jq
)

# missing PACKAGE...: those not installed.
missing() {
    local pkg
    for pkg in "$@"; do
        [ "$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null)" = 'install ok installed' ] || echo "$pkg"
    done
}

# Every package here is for the machine's own architecture: apt fetches no
# other architecture's indexes, whose failure (a mirror in the middle of a
# sync) would make apt drop the whole suite, security updates included.
apt_options=(-q -o "APT::Architectures=$(dpkg --print-architecture)")

# Index download failures leave apt with the indexes it had: a warning.
refresh_indexes() {
    local log status=0
    log=$(mktemp)
    apt-get "${apt_options[@]}" update >"$log" 2>&1 || status=$?
    if [ $status -ne 0 ]; then
        echo "setup: warning: apt-get update exited with $status; going on with the indexes it has:" >&2
        grep -E '^(E|W): ' "$log" | sed 's/^/setup: warning:   /' >&2 || true
    fi
    rm -f "$log"
}

# why_not_installable PACKAGE: apt's reason in one line, empty when apt could
# install it.
why_not_installable() {
    local output
    if output=$(apt-get "${apt_options[@]}" install -s --no-install-recommends "$1" 2>&1); then
        return 0
    fi
    # A dependency problem names the dependency; otherwise apt's error says it.
    { grep -E '^ +[^ ]+ : (Pre)?Depends: ' <<<"$output" || grep -E '^E: ' <<<"$output"; } \
        | head -n 1 | sed -E 's/^ +//; s/^E: //'
}

install_packages() {
    local wanted
    wanted=$(missing "$@")
    [ -n "$wanted" ] || return 0
    refresh_indexes
    # shellcheck disable=SC2086
    if ! apt-get "${apt_options[@]}" install -s --no-install-recommends $wanted >/dev/null 2>&1; then
        report_uninstallable $wanted
    fi
    # shellcheck disable=SC2086
    apt-get "${apt_options[@]}" install -y --no-install-recommends $wanted || {
        echo "setup: installing failed:" $wanted >&2
        exit 1
    }
}

# report_uninstallable PACKAGE...: one line for each that apt cannot install.
report_uninstallable() {
    local pkg reason failed=0
    for pkg in "$@"; do
        reason=$(why_not_installable "$pkg")
        if [ -n "$reason" ]; then
            echo "setup: cannot install $pkg: $reason" >&2
            failed=1
        fi
    done
    [ $failed -eq 0 ] || exit 1
}

export DEBIAN_FRONTEND=noninteractive
case ${1:-} in
run) install_packages "${run_packages[@]}" ;;
bench) install_packages "${run_packages[@]}" "${bench_packages[@]}" ;;
profile) install_packages "${run_packages[@]}" "${bench_packages[@]}" "${profile_packages[@]}" ;;
test) install_packages "${run_packages[@]}" "${bench_packages[@]}" "${test_packages[@]}" ;;
*)
    echo "usage: $0 run|bench|profile|test" >&2
    exit 2
    ;;
esac
