#!/bin/bash
# Start-up cost of the installed usbmonitor on a desktop (run as root):
#   bench/monitor_startup.sh BUILD_DIR
# In the test sandbox (the suite installed under /opt) and on the desktop stand-in
# (tests/desktop/desktop-session.sh: Xvfb, a private session bus with a tray watcher that
# has a host registered, a notification server, the accessibility bus), each run starts
# usbmonitor with no printer attached and measures
#   - the time from starting it to its tray item being registered with the watcher
#     (the watcher's own CLOCK_MONOTONIC stamp minus the one taken just before the start);
#   - its resident memory (VmRSS, and the proportional share Pss) 10 s after the start,
#     when the window has hidden itself and the first status polls have run.
# Goals: registered in under 300 ms, under 30 MiB resident. ZLP_BENCH_RUNS (default 5) runs,
# each a fresh process; the medians and the extremes are printed.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
if [ $# -ne 1 ]; then
    echo "usage: bench/monitor_startup.sh BUILD_DIR" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
[ -x "$build/monitor/usbmonitor" ] || { echo "build first: cmake --build $build" >&2; exit 2; }
out=${ZLP_BENCH_OUT:-$build/bench-monitor-startup}
echo "command: bench/monitor_startup.sh $1 (runs: ${ZLP_BENCH_RUNS:-5})"
exec "$here/../tests/sandbox/sandbox.sh" "$build" -- \
    "$here/../tests/desktop/desktop-session.sh" "$out" -- \
    /usr/bin/python3 -W ignore "$here/monitor_startup.py" /opt/varn/ZLP5520NW/bin/usb/usbmonitor
