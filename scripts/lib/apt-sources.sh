# shellcheck shell=bash
# Sourced by the scripts that make Debian roots with mmdebstrap: they fetch
# from the archive this machine's apt uses, through its proxy, so that a
# machine behind a mirror or proxy of its own works. apt itself reads its
# configuration (sources.list, sources.list.d with one-line .list and deb822
# .sources files, apt.conf and apt.conf.d), so every form it accepts counts.

# apt_source_uri SUITE: the URI of the first of this machine's sources that
# carries SUITE with its main component, as written there ("bookworm") or,
# once its index has been fetched, as its Release file names it ("oldstable"
# written, "bookworm" meant). Empty when there is none.
apt_source_uri() {
    local uri
    uri=$(apt-get indextargets --no-release-info --format '$(REPO_URI)' \
        "Release: $1" 'Target-Of: deb' 'Component: main' | head -n 1)
    if [ -z "$uri" ]; then
        uri=$(apt-get indextargets --format '$(REPO_URI)' \
            "Codename: $1" 'Target-Of: deb' 'Component: main' | head -n 1)
    fi
    printf '%s' "$uri"
}

# apt_sources ARRAY SUITE...: sets ARRAY to one "deb URI SUITE main" line
# for each SUITE this machine's apt has; a suite it lacks is left out with a
# note. The first SUITE, the release itself, must be there.
apt_sources() {
    local -n apt_sources_result=$1
    local suite uri
    shift
    apt_sources_result=()
    for suite in "$@"; do
        uri=$(apt_source_uri "$suite")
        if [ -n "$uri" ]; then
            apt_sources_result+=("deb $uri $suite main")
        elif [ "$suite" = "$1" ]; then
            echo "$0: this machine's apt has no source for $suite main: add one (sources.list or sources.list.d)" >&2
            return 1
        else
            echo "$0: note: this machine's apt has no source for $suite; going on without it" >&2
        fi
    done
}

# apt_proxy_options ARRAY: sets ARRAY to the --aptopt arguments of mmdebstrap
# that give its apt this machine's proxy settings (Acquire::http::Proxy and
# the like, per host and auto-detected too). Proxies in the environment
# (http_proxy) reach it by themselves.
apt_proxy_options() {
    local -n apt_proxy_result=$1
    local dump name value
    dump=$(apt-config dump --format '%f %v%n')
    apt_proxy_result=()
    while read -r name value; do
        if [[ $name =~ ^Acquire::(http|https|ftp)::Proxy(-Auto-Detect)?(::.+)?$ ]]; then
            apt_proxy_result+=("--aptopt=$name \"$value\";")
        fi
    done <<<"$dump"
}
