#!/bin/bash
# Runs a command with the suite installed, inside a private mount and network
# namespace, so the programs' fixed paths (/opt/varn, /var/spool/cups, the CUPS
# filter and model folders) never touch this machine.
#
#   sandbox.sh BUILD_DIR [--cupsd] -- COMMAND [ARG...]
#
# Inside: tmpfs over /opt, /var/tmp, /run, /var/spool/cups and the CUPS state
# folders (configuration copied in, so Debian's cupsd runs with its normal paths),
# overlays over the CUPS filter and model folders and the desktop's udev, menu,
# autostart and icon folders, loopback up, and the build
# installed with `cmake --install`. With --cupsd a private cupsd is started
# and stopped again. Everything vanishes with the namespace. The build folder and this
# checkout stay visible at their own paths, also when they lie under a covered folder
# (a checkout under /var/tmp or /opt).
set -euo pipefail

if [ -z "${ZLP_IN_SANDBOX:-}" ]; then
    export ZLP_IN_SANDBOX=1
    exec unshare --mount --net --propagation private -- "$0" "$@"
fi

build=$(cd "$1" && pwd)
shift
start_cupsd=0
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    case "$1" in
    --cupsd) start_cupsd=1 ;;
    *) echo "sandbox.sh: unknown option $1" >&2; exit 2 ;;
    esac
    shift
done
[ "${1:-}" = "--" ] && shift

# Held open before anything is covered, and bound back in place afterwards (see below).
src=$(cd "$(dirname "$0")/../.." && pwd)
exec {src_fd}<"$src" {build_fd}<"$build"

serverbin=$(cups-config --serverbin)
datadir=$(cups-config --datadir)

ip link set lo up

mount -t tmpfs -o mode=1777 sandbox-tmp /var/tmp
scratch=/var/tmp/.sandbox
mkdir -p "$scratch"

# Keep the machine's CUPS configuration, then cover every CUPS state folder.
mkdir -p "$scratch/etc-cups"
cp -a /etc/cups/. "$scratch/etc-cups/"
for d in /etc/cups /var/cache/cups /var/log/cups /var/spool/cups; do
    [ -d "$d" ] || { echo "sandbox.sh: $d is missing (is cups installed?)" >&2; exit 2; }
done
mount -t tmpfs sandbox-etc /etc/cups
cp -a "$scratch/etc-cups/." /etc/cups/
# Start without the machine's own queues and subscriptions: a developer's printers must not
# show up in (or be driven by) the tests.
rm -f /etc/cups/printers.conf* /etc/cups/classes.conf* /etc/cups/subscriptions.conf*
[ -d /etc/cups/ppd ] && find /etc/cups/ppd -mindepth 1 -delete
mount -t tmpfs -o mode=0755 sandbox-cache /var/cache/cups
mount -t tmpfs -o mode=0755 sandbox-log /var/log/cups
mount -t tmpfs -o mode=0755 sandbox-run /run
mkdir -m 0755 /run/cups
mount -t tmpfs -o mode=0710 sandbox-spool /var/spool/cups
chgrp lp /var/spool/cups /var/cache/cups
mkdir -m 1770 /var/spool/cups/tmp && chgrp lp /var/spool/cups/tmp
mount -t tmpfs -o mode=0755 sandbox-opt /opt

overlay() {
    local target=$1 name=$2
    mkdir -p "$scratch/$name/upper" "$scratch/$name/work"
    mount -t overlay "sandbox-$name" \
        -o "lowerdir=$target,upperdir=$scratch/$name/upper,workdir=$scratch/$name/work" "$target"
}
overlay "$serverbin/filter" filter
overlay "$datadir/model" model
# The desktop's folders: udev rule, menu and autostart entries, icons. Where a folder is
# missing, the nearest existing parent is covered instead.
covered=(/opt /var/spool/cups "$serverbin/filter" "$datadir/model")
n=0
for d in /usr/lib/udev/rules.d /usr/share/applications /etc/xdg/autostart /usr/share/icons/hicolor; do
    while [ ! -d "$d" ]; do d=$(dirname "$d"); done
    n=$((n + 1))
    mountpoint -q "$d" || overlay "$d" "desktop$n"
    covered+=("$d")
done

# The build and the checkout, where a tmpfs or overlay above hid them: the folders held open
# at the start are bound back (mount must not resolve /proc/self/fd/N to the covered path).
uncover() { # dir fd
    local dir=$1 fd=$2
    [ "$(stat -c %d:%i "$dir" 2>/dev/null)" = "$(stat -L -c %d:%i "/proc/self/fd/$fd")" ] && return
    mkdir -p "$dir"
    mount --no-canonicalize --bind "/proc/self/fd/$fd" "$dir"
}
uncover "$src" "$src_fd"
uncover "$build" "$build_fd"
exec {src_fd}<&- {build_fd}<&-

# Refuse to install anywhere but into the covered folders.
for d in "${covered[@]}"; do
    mountpoint -q "$d" || { echo "sandbox.sh: $d is not covered, not installing" >&2; exit 2; }
done
cmake --install "$build" >"$scratch/install.log" 2>&1 ||
    { cat "$scratch/install.log" >&2; exit 2; }
# Every installed file must have landed in a covered folder; one that did not is on the
# machine now: say so, so that its folder gets covered above.
while IFS= read -r f; do
    inside=0
    for d in "${covered[@]}"; do
        case "$f" in "$d"/*) inside=1 ;; esac
    done
    [ $inside = 1 ] || { echo "sandbox.sh: $f was installed outside the sandbox's folders" >&2; exit 2; }
done <"$build/install_manifest.txt"

if [ "$start_cupsd" = 1 ]; then
    cupsd -f &
    cupsd_pid=$!
    for _ in $(seq 100); do
        lpstat -r >/dev/null 2>&1 && break
        sleep 0.1
    done
    lpstat -r >/dev/null 2>&1 || { echo "sandbox.sh: cupsd did not start" >&2; exit 2; }
    trap 'kill $cupsd_pid 2>/dev/null; wait $cupsd_pid 2>/dev/null || true' EXIT
    "$@"
else
    exec "$@"
fi
