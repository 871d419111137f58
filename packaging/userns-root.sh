#!/bin/bash
# Runs a command as root of a user namespace of its own, with its own binfmt_misc: with
# --binfmt CONF (a binfmt.d file, such as qemu-user-static's
# /usr/lib/binfmt.d/qemu-aarch64.conf) every program of that format started inside runs
# under its interpreter, while the machine's binfmt_misc settings stay untouched (the kernel
# keeps one binfmt_misc per user namespace since Linux 6.7).
#
#   userns-root.sh [--binfmt CONF]... -- COMMAND [ARG...]
#
# Run as root: every user and group id is mapped to itself, so files keep their owners and
# cupsd's `lp`, `nobody` and the tests' users work as outside. Inside there are also a
# mount namespace and a PID namespace of its own (with its /proc), so that mounting proc,
# overlays and tmpfs works as it does for root outside. Devices and the kernel's settings
# stay out of reach: root inside has no power over the machine's own namespaces.
set -euo pipefail

if [ "${1:-}" = --inner ]; then
    # Started unmapped by unshare: wait for the map, then run again as root of the namespace
    # (an exec by uid 0 regains the capabilities the unmapped exec dropped).
    shift
    for _ in $(seq 200); do
        [ -s /proc/self/uid_map ] && [ "$(id -u)" = 0 ] && break
        sleep 0.05
    done
    [ "$(id -u)" = 0 ] || { echo "userns-root.sh: no uid map" >&2; exit 2; }
    exec "$0" --mapped "$@"
fi
if [ "${1:-}" = --mapped ]; then
    shift
    # For throwaway-root.sh, which cannot work in here (see there).
    export ZLP_IN_USERNS=1
    mounted=0
    while [ "${1:-}" = --binfmt ]; do
        [ $mounted = 1 ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
        mounted=1
        # One line ":name:type:offset:magic:mask:interpreter:flags"; qemu-user-static's
        # carry F (the interpreter is opened now, so it serves in every mount namespace
        # and chroot below) and P (the program keeps the argv[0] it was started with).
        grep -v '^#' "$2" | head -n 1 | tr -d '\n' >/proc/sys/fs/binfmt_misc/register
        shift 2
    done
    [ "${1:-}" = "--" ] && shift
    # The command is not PID 1 itself: a reaper is, so that orphans (daemons the tests end)
    # do not stay behind as zombies that still look like running programs.
    exec /usr/bin/python3 -c '
import os, subprocess, sys
child = subprocess.Popen(sys.argv[1:])
while True:
    try:
        pid, status = os.waitpid(-1, 0)
    except ChildProcessError:
        break
    except InterruptedError:
        continue
    if pid == child.pid:
        sys.exit(os.waitstatus_to_exitcode(status) if os.WIFEXITED(status) else 128 + os.WTERMSIG(status))
' "$@"
fi

[ "$(id -u)" = 0 ] || { echo "userns-root.sh: run as root" >&2; exit 2; }
unshare --user --mount --pid --fork --mount-proc --propagation private --kill-child -- \
    "$0" --inner "$@" &
pid=$!
# unshare's own process is in the new user namespace: map every id to itself.
mapped=0
for _ in $(seq 200); do
    if [ -e "/proc/$pid/ns/user" ] && [ "$(readlink "/proc/$pid/ns/user")" != "$(readlink /proc/self/ns/user)" ]; then
        echo "0 0 4294967295" >"/proc/$pid/uid_map"
        echo "0 0 4294967295" >"/proc/$pid/gid_map"
        mapped=1
        break
    fi
    sleep 0.02
done
[ $mapped = 1 ] || { echo "userns-root.sh: the namespace did not appear" >&2; kill $pid; exit 2; }
rc=0
wait $pid || rc=$?
exit $rc
