# shellcheck shell=bash
# Sourced by the scripts that keep what is slow to make outside the clone,
# so that a fresh clone on the same machine finds it: the compiler cache, the
# armhf sysroot and the armhf device root.
#
# The directory is $CORE_BUILD_CACHE, by default /var/cache/dvrcore-build:
# /var/cache is where a machine keeps what can be made again, it outlives
# every clone and every reboot (unlike /tmp), and only root writes there, as
# only root runs these scripts.

# build_cache_dir: prints the cache directory, made if missing. Refuses one
# that is not absolute, is the root, or that someone else owns or may write
# to: links put there could lead root's removals and builds elsewhere.
build_cache_dir() {
    local dir=${CORE_BUILD_CACHE-/var/cache/dvrcore-build}
    case $dir in
    /*) ;;
    *)
        echo "$0: CORE_BUILD_CACHE must be an absolute directory, not '$dir'" >&2
        return 1
        ;;
    esac
    dir=$(realpath -m -- "$dir")
    if [ "$dir" = / ]; then
        echo "$0: CORE_BUILD_CACHE must not be the root directory" >&2
        return 1
    fi
    # shellcheck disable=SC2174 # the mode that counts is the last one's, checked below
    mkdir -p -m 0755 -- "$dir" || return 1
    if [ "$(stat -c %u -- "$dir")" != "$(id -u)" ] || [ -n "$(find "$dir" -maxdepth 0 -perm /022)" ]; then
        echo "$0: refusing the cache directory $dir: it is not ours alone (owner and mode: $(stat -c '%U %A' -- "$dir"))" >&2
        return 1
    fi
    printf '%s\n' "$dir"
}

# remove_below PARENT DIR: removes DIR and everything in it, but refuses a DIR
# that is empty or does not lie below PARENT once links are followed (the
# root, PARENT itself, "PARENT/..", a link leading out).
remove_below() {
    local parent=$1 dir=$2 resolved_parent resolved
    if [ -z "$parent" ] || [ -z "$dir" ]; then
        echo "$0: refusing to remove '$dir' below '$parent': an empty name" >&2
        return 1
    fi
    resolved_parent=$(realpath -m -- "$parent")
    resolved=$(realpath -m -- "$dir")
    if [ "$resolved_parent" = / ]; then
        echo "$0: refusing to remove $dir: the root is no parent to remove in" >&2
        return 1
    fi
    case $resolved in
    "$resolved_parent"/?*) ;;
    *)
        echo "$0: refusing to remove $dir: it is not below $parent" >&2
        return 1
        ;;
    esac
    rm -rf -- "$resolved"
}

# cached_root VARIABLE NAME RECIPE REFRESH MAKE...: sets VARIABLE to the
# directory NAME-KEY of the cache, KEY a digest of RECIPE. While it holds
# RECIPE it is kept, unless REFRESH is 1; otherwise `MAKE... DIR` makes it in
# a directory of its own that then takes its place, so that a half-made one
# is never used. One maker of NAME at a time: a second waits and then finds
# it made. Others of NAME unused for two weeks (other branches' recipes) are
# removed.
cached_root() {
    local -n cached_root_result=$1
    local name=$2 recipe=$3 refresh=$4 cache key dir lock old
    shift 4
    cache=$(build_cache_dir)
    key=$(printf '%s\n' "$recipe" | sha256sum | cut -c1-16)
    dir=$cache/$name-$key
    exec {lock}>"$cache/$name.lock"
    flock "$lock"
    if [ "$refresh" != 1 ] && [ "$(cat "$dir/.recipe" 2>/dev/null)" = "$recipe" ]; then
        touch "$dir/.recipe"
    else
        echo "==== $name: $dir ====" >&2
        remove_below "$cache" "$dir.new"
        "$@" "$dir.new" >&2
        printf '%s\n' "$recipe" >"$dir.new/.recipe"
        if [ -e "$dir" ]; then
            remove_below "$cache" "$dir.old"
            mv -T -- "$dir" "$dir.old"
        fi
        mv -T -- "$dir.new" "$dir"
        remove_below "$cache" "$dir.old"
    fi
    while IFS= read -r -d '' old; do
        [ "$old" = "$dir" ] || remove_below "$cache" "$old"
    done < <(find "$cache" -mindepth 2 -maxdepth 2 -path "$cache/$name-*/.recipe" -mtime +14 -printf '%h\0')
    exec {lock}>&-
    # shellcheck disable=SC2034 # the caller's variable
    cached_root_result=$dir
}

# use_build_ccache ROOT ARRAY: every compiler call of the builds that follow
# goes through ccache in the cache directory, with absolute paths inside the
# clone ROOT made relative, so that another clone of the same sources hits.
# Sets ARRAY to the CMake arguments that name ccache as the launcher. All
# settings are passed here: a machine-wide ccache.conf may say otherwise.
use_build_ccache() {
    local root=$1 cache
    local -n use_build_ccache_result=$2
    cache=$(build_cache_dir)
    export CCACHE_DIR=$cache/ccache
    export CCACHE_BASEDIR=$root
    # The compiler's working directory is the build directory of the clone;
    # hashing it would make every clone miss.
    export CCACHE_NOHASHDIR=1
    # Several times what the four builds and the small Clang and fuzz builds
    # take together (docs/testing.md), so that switching branches or clones
    # does not push out the current ones.
    export CCACHE_MAXSIZE=1G
    # shellcheck disable=SC2034 # the caller's variable
    use_build_ccache_result=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
}
