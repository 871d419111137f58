#!/bin/bash
# The driver demo: builds the suite, installs it into a private sandbox (its own mount and
# network namespace, its own cupsd), prints demo/sample.ps to the queues "ZLP5520NW-net" and
# "ZLP5520NW", each going to a simulated printer, and prints what happened; then runs usbmonitor
# on a desktop stand-in while it prints to the USB queue and lists the notices it showed. The
# captured printer streams, print logs, settings files and the monitor's screenshots are copied
# to OUTPUT_DIR, which outlives the sandbox.
#
#   demo/demo.sh BUILD_DIR [OUTPUT_DIR]        (OUTPUT_DIR defaults to out/ in the repository)
#
# Needs root (for the namespaces) and the Debian packages of packaging/debian-packages.txt.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -lt 1 ] || [ $# -gt 2 ] || [ "${1:0:1}" = "-" ]; then
    echo "usage: $0 BUILD_DIR [OUTPUT_DIR]" >&2
    exit 2
fi
if [ "$(id -u)" != 0 ]; then
    echo "demo.sh: run as root: the sandbox needs private mount and network namespaces" >&2
    exit 2
fi
build=$1
out=${2:-$repo/out}

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$repo" -B "$build" >/dev/null
fi
echo "building in $build ..."
cmake --build "$build" -j"$(nproc)" >"$build/demo-build.log" 2>&1 ||
    { tail -30 "$build/demo-build.log" >&2; echo "demo.sh: the build failed" >&2; exit 1; }

mkdir -p "$out"
out=$(cd "$out" && pwd)
# The sandbox lays fresh file systems over these; whatever the demo kept there would vanish.
case "$out/" in
/opt/* | /run/* | /var/tmp/* | /var/spool/cups/* | /etc/cups/* | /var/cache/cups/* | /var/log/cups/*)
    echo "demo.sh: $out lies in a folder the sandbox covers; choose another output folder" >&2
    exit 2
    ;;
esac

# The print demo runs on a desktop stand-in (Xvfb, a private session bus, a tray and
# notification server), where netmonitor watches the network job (demo/netmonitor_watch.py).
# Then, in the same sandbox, the USB monitor on a desktop stand-in watches a USB job:
# demo/usbmonitor_demo.py.
exec "$repo/tests/sandbox/sandbox.sh" "$build" --cupsd -- bash -c '
    "$1/tests/desktop/desktop-session.sh" "$3/netmonitor" -- /usr/bin/python3 -W ignore \
        "$1/demo/demo.py" --sim "$2/sim/net/zlpsim-net" --doc "$1/demo/sample.ps" --out "$3" &&
    "$1/tests/desktop/desktop-session.sh" "$3/usbmonitor" -- /usr/bin/python3 -W ignore \
        "$1/demo/usbmonitor_demo.py" --net-sim "$2/sim/net/zlpsim-net" \
        --usb-sim "$2/sim/usb/zlpsim-usb" --out "$3"' demo "$repo" "$(cd "$build" && pwd)" "$out"
