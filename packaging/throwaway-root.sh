#!/bin/bash
# Runs a command as root in a throwaway copy of this machine: a private mount
# namespace, an overlay whose lower layer is the machine's root and whose upper
# layer is a tmpfs, chrooted into. Packages installed, files written, users added
# inside all land in the tmpfs and vanish when the command ends; the machine is
# not touched.
#
#   throwaway-root.sh [--net] [--keep DIR]... -- COMMAND [ARG...]
#
# --net    private network namespace with only loopback (default: the machine's network,
#          for apt downloads)
# --keep   DIR is the machine's own folder inside, not the overlay's copy, so results
#          written there outlive the command (bind mount)
# Proc, sys and dev are the machine's; /run, /tmp and /var/tmp start empty. The checkout
# this script belongs to is visible inside at its own path wherever it is (also under /tmp,
# or on a file system of its own, which the overlay of / does not show), through an overlay
# of its own: files written into it vanish too.
set -euo pipefail

# In a user namespace (packaging/userns-root.sh) the kernel refuses the overlay of / ("failed
# to clone lowerpath"): / has mounts beneath it (/proc, /sys, /dev...) that the namespace got
# from outside, locked to it, and a lower layer must have none. Exit 77: cannot run here.
if [ -n "${ZLP_IN_USERNS:-}" ]; then
    echo "throwaway-root.sh: cannot run in a user namespace (no overlay of / with mounts beneath it)" >&2
    exit 77
fi

if [ -z "${ZLP_THROWAWAY_INNER:-}" ]; then
    net=()
    args=("$@")
    for a in "$@"; do
        [ "$a" = "--" ] && break
        [ "$a" = "--net" ] && net=(--net)
    done
    export ZLP_THROWAWAY_INNER=1
    exec unshare --mount "${net[@]}" --propagation private -- "$0" "${args[@]}"
fi
unset ZLP_THROWAWAY_INNER

src=$(cd "$(dirname "$0")/.." && pwd)
keep=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    case "$1" in
    --net) ;;
    --keep) keep+=("$(cd "$2" && pwd)"); shift ;;
    *) echo "throwaway-root.sh: unknown option $1" >&2; exit 2 ;;
    esac
    shift
done
[ "${1:-}" = "--" ] && shift
[ $# -gt 0 ] || { echo "usage: throwaway-root.sh [--net] [--keep DIR]... -- COMMAND..." >&2; exit 2; }

ip link set lo up 2>/dev/null || true
# The layers live on a tmpfs mounted over a fresh folder only this namespace sees.
base=$(mktemp -d /tmp/zlp-throwaway.XXXXXX)
mount -t tmpfs -o mode=0755,size=${ZLP_THROWAWAY_SIZE:-12g} throwaway "$base"
mkdir "$base/upper" "$base/work" "$base/root"
mount -t overlay throwaway-root -o "lowerdir=/,upperdir=$base/upper,workdir=$base/work" "$base/root"
root=$base/root
mount -t proc proc "$root/proc"
mount --rbind /sys "$root/sys"
mount --rbind /dev "$root/dev"
for d in /run /tmp /var/tmp; do
    mount -t tmpfs -o mode=1777 "throwaway$d" "$root$d"
done
chmod 0755 "$root/run"
mkdir -p "$root/run/lock"
mkdir -p "$base/src/upper" "$base/src/work" "$root$src"
mount -t overlay throwaway-src -o "lowerdir=$src,upperdir=$base/src/upper,workdir=$base/src/work" \
    "$root$src"
for d in "${keep[@]}"; do
    mkdir -p "$root$d"
    mount --bind "$d" "$root$d"
done
# Nothing started inside may start the machine's services (policy-rc.d, as in
# Debian's chroot builders).
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 0755 "$root/usr/sbin/policy-rc.d"
# The overlay becomes the namespace's root (pivot_root, not chroot: inside a chroot the kernel
# refuses user namespaces, which packaging/userns-root.sh makes), and the machine's root is
# let go. The layers' tmpfs goes with the namespace.
mkdir "$root/tmp/.machine-root"
cd "$root"
pivot_root . tmp/.machine-root
cd /
umount -l /tmp/.machine-root
rmdir /tmp/.machine-root
exec /usr/bin/env ZLP_IN_THROWAWAY=1 "$@"
