#!/bin/bash
# The installed usbmonitor's idle cost: CPU time (its own and its reaped lpstat children's)
# over 60 s of polling a ready simulated printer, on the desktop stand-in, in the sandbox with
# a private cupsd (so each poll runs a real lpstat against an empty queue). Not a test.
#
#   bench/monitor_idle.sh BUILD_DIR [SECONDS]        (as root)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
seconds=${2:-60}

if [ -z "${ZLP_BENCH_INSIDE:-}" ]; then
    export ZLP_BENCH_INSIDE=1
    out=$(mktemp -d /tmp/zlp-monitor-idle.XXXXXX)
    exec "$repo/tests/sandbox/sandbox.sh" "$build" --cupsd -- \
        "$repo/tests/desktop/desktop-session.sh" "$out" -- "$0" "$build" "$seconds"
fi

script=$(mktemp /tmp/zlp-ready.XXXXXX)
printf 'on "CheckStatus?"\n  reply "CODE=10001"\n' >"$script"
"$build/sim/usb/zlpsim-usb" --script "$script" -- /opt/varn/ZLP5520NW/bin/usb/usbmonitor \
    >/dev/null 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null || true' EXIT

pid=
for _ in $(seq 100); do
    pid=$(pgrep -x -P "$sim" usbmonitor || true)
    [ -n "$pid" ] && break
    sleep 0.1
done
[ -n "$pid" ] || { echo "monitor_idle.sh: usbmonitor did not start" >&2; exit 1; }

# utime + stime + cutime + cstime, in clock ticks.
ticks() { awk '{ print $14 + $15 + $16 + $17 }' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)
sleep 10 # start-up, the window's first hide and the first polls
before=$(ticks "$pid")
start=$(date +%s.%N)
sleep "$seconds"
after=$(ticks "$pid")
end=$(date +%s.%N)
rss=$(awk '/VmRSS/ { print $2 }' "/proc/$pid/status")
awk -v b="$before" -v a="$after" -v hz="$hz" -v s="$start" -v e="$end" -v rss="$rss" 'BEGIN {
    cpu = (a - b) / hz; wall = e - s
    printf "usbmonitor idle: %.2f s CPU in %.1f s (%.2f %%), %d polls, resident %.1f MiB\n",
           cpu, wall, 100 * cpu / wall, wall / 5, rss / 1024 }'
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
