#!/usr/bin/env bash
# Checks the README's two commands on a fresh machine: makes a minimal
# Debian 12 root with mmdebstrap (minbase; the main, updates and security
# suites from the archives this machine's apt uses, through its proxy; and
# this machine's foreign architectures, so it meets the archive as this
# machine does), copies the repository in without its build directory, and
# runs scripts/run.sh, then scripts/test.sh, inside it with chroot, reporting
# how long each took. Takes about as long as the test command on a fresh
# clone, whose caches the fresh root does not have; on demand only.
#
#   scripts/fresh-machine-check.sh [DIR]
#
# DIR (default build/fresh-machine) is made anew and must lie below the
# repository's build directory; the logs are DIR/root/run.log and
# DIR/root/test.log. Run as root; needs mmdebstrap.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=lib/cache.sh
source "$repo/scripts/lib/cache.sh"
# shellcheck source=lib/apt-sources.sh
source "$repo/scripts/lib/apt-sources.sh"
dir=${1-$repo/build/fresh-machine}

remove_below "$repo/build" "$dir"
dir=$(realpath -m -- "$dir")
sources=() proxy=()
apt_sources sources bookworm bookworm-updates bookworm-security
apt_proxy_options proxy
echo "==== a minimal Debian 12 root in $dir ===="
mmdebstrap --quiet --variant=minbase "${proxy[@]}" bookworm "$dir" "${sources[@]}"
# This machine's name service settings, as a fresh machine's would be.
cp /etc/resolv.conf /etc/hosts "$dir/etc/"
for arch in $(dpkg --print-foreign-architectures); do
    chroot "$dir" dpkg --add-architecture "$arch"
done
mkdir -p "$dir/root/repo"
git -C "$repo" ls-files -z --cached --others --exclude-standard \
    | tar -C "$repo" --null -T - -c | tar -C "$dir/root/repo" -x

# Inside a mount namespace of its own: the root becomes the namespace's root
# (pivot_root), so that the tests may still make user namespaces, which
# the kernel refuses to a process whose root is not its namespace's; then
# chroot runs each command with /proc, /sys, /dev/pts and /dev/shm mounted.
# shellcheck disable=SC2016
unshare --mount --propagation private --fork -- bash -c '
    set -euo pipefail
    dir=$0
    mount --bind "$dir" "$dir"
    mount -t proc proc "$dir/proc"
    mount -t sysfs sysfs "$dir/sys"
    mount --bind /dev/pts "$dir/dev/pts"
    mount -t tmpfs tmpfs "$dir/dev/shm"
    cd "$dir"
    mkdir -p .old-root
    pivot_root . .old-root
    umount -l /.old-root
    rmdir /.old-root
    # timed NAME COMMAND: runs it in the repository, logs, reports.
    timed() {
        local name=$1 start status=0
        shift
        start=$SECONDS
        chroot / /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
            bash -c "cd /root/repo && $*" </dev/null >"/root/$name.log" 2>&1 || status=$?
        echo "$name: exit $status after $((SECONDS - start)) s (log: root/$name.log)"
        [ $status -eq 0 ] || { tail -n 40 "/root/$name.log"; exit 1; }
    }
    timed run scripts/run.sh
    timed test scripts/test.sh
' "$dir"
echo "==== both README commands passed on a fresh Debian 12 root ===="
