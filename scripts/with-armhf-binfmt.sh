#!/usr/bin/env bash
# Runs a command in which armhf programs start like native ones: the kernel
# hands them to qemu-arm-static, through a binfmt_misc registration that
# belongs to a user namespace of this command alone (Linux 6.7 and later), so
# the build machine's own registrations stay as they are. Inside, user and
# group IDs are the machine's, and mounts stay private to the command.
# mmdebstrap needs this to run an armhf root file system's package scripts.
#
#   scripts/with-armhf-binfmt.sh COMMAND [ARGUMENTS...]
#
# Run as root; needs qemu-user-static.
set -euo pipefail
registration=/usr/lib/binfmt.d/qemu-arm.conf
[ -r "$registration" ] || { echo "$0: $registration is missing: install qemu-user-static" >&2; exit 1; }

# The FIFO lies in a directory that only we may enter, made with it: a name
# in a shared directory could be taken first by anyone.
private=$(mktemp -d)
trap 'rm -rf -- "$private"' EXIT
ready=$private/ready
mkfifo -m 0600 "$ready"
# The child waits until its ID mappings are written, then mounts its own
# binfmt_misc and registers the emulator there.
unshare --user --mount --propagation private -- bash -c '
    read -r _ <"$0"
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    cat "$1" >/proc/sys/fs/binfmt_misc/register
    shift
    exec "$@"' "$ready" "$registration" "$@" &
child=$!
while [ "$(readlink /proc/$child/ns/user)" = "$(readlink /proc/self/ns/user)" ]; do
    sleep 0.01
done
echo '0 0 65536' >/proc/$child/uid_map
echo '0 0 65536' >/proc/$child/gid_map
echo >"$ready"
status=0
wait $child || status=$?
exit $status
