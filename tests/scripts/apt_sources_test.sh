#!/usr/bin/env bash
# The scripts that make Debian roots take the archive and the proxy from the
# machine's apt configuration: here a stand-in one, with a one-line source, a
# deb822 .sources file, and proxies for all hosts and for one.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=../../scripts/lib/apt-sources.sh
source "$here/../../scripts/lib/apt-sources.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

mkdir -p "$work/sources.list.d" "$work/apt.conf.d" "$work/lists/partial"
# Nothing of this machine's own configuration is read.
cat >"$work/apt.conf" <<EOF
Dir::Etc::Main "/dev/null";
Dir::Etc::Parts "$work/apt.conf.d";
Dir::Etc::SourceList "$work/sources.list";
Dir::Etc::SourceParts "$work/sources.list.d";
Dir::State::Lists "$work/lists";
EOF
export APT_CONFIG=$work/apt.conf
cat >"$work/sources.list" <<'EOF'
deb [arch=amd64,armhf] http://archive.invalid/debian bookworm main contrib
deb http://backports.invalid/debian bookworm-backports main
EOF
cat >"$work/sources.list.d/security.sources" <<'EOF'
Types: deb deb-src
URIs: http://security.invalid/debian-security
Suites: bookworm-security
Components: main non-free-firmware
EOF
cat >"$work/apt.conf.d/proxy" <<'EOF'
Acquire::http::Proxy "http://proxy.invalid:3128/";
Acquire::http::Proxy::archive.invalid "DIRECT";
Acquire::https::Proxy-Auto-Detect "/usr/local/bin/find-proxy";
Acquire::http::Timeout "10";
EOF

# The release from the one-line source, security from the .sources file;
# the machine has no updates suite, which is left out.
lines=() options=()
apt_sources lines bookworm bookworm-updates bookworm-security 2>"$work/err"
expected=("deb http://archive.invalid/debian/ bookworm main" "deb http://security.invalid/debian-security/ bookworm-security main")
[ "${lines[*]}" = "${expected[*]}" ] || fail "sources: got '${lines[*]}'"
grep -q 'no source for bookworm-updates; going on without it' "$work/err" || fail "the missing suite was not noted"
echo "the release and security suites come from the machine's one-line and deb822 sources"

# Without the release itself there is nothing to make a root from.
: >"$work/sources.list"
if apt_sources lines bookworm bookworm-security 2>"$work/err"; then
    fail "a machine without a source for the release was accepted"
fi
grep -q 'no source for bookworm main' "$work/err" || fail "the missing release was not named"
echo "no source for the release: refused, naming it"

apt_proxy_options options
expected=('--aptopt=Acquire::http::Proxy "http://proxy.invalid:3128/";'
    '--aptopt=Acquire::http::Proxy::archive.invalid "DIRECT";'
    '--aptopt=Acquire::https::Proxy-Auto-Detect "/usr/local/bin/find-proxy";')
[ "${options[*]}" = "${expected[*]}" ] || fail "proxy options: got '${options[*]}'"
rm "$work/apt.conf.d/proxy"
apt_proxy_options options
[ ${#options[@]} -eq 0 ] || fail "proxy options without a proxy: got '${options[*]}'"
echo "the proxies, for every host and for one, reach mmdebstrap's apt; none when there are none"
