#!/bin/bash
# Start-up cost and idle memory of the installed netmonitor on a desktop (run as root):
#   bench/netmonitor_bench.sh BUILD_DIR
# As bench/monitor_startup.sh does for usbmonitor: in the sandbox, on the desktop stand-in, a
# fresh netmonitor per run (ZLP_BENCH_RUNS, default 5). The address file names 127.0.0.2, where
# nothing answers: a printer switched off, so the monitor idles without a warning window.
# The latency from a printer's reply to the notice on the desktop comes from the end-to-end
# test (ctest -R e2e.netmonitor; BUILD_DIR/tests/e2e/out/netmonitor/netmonitor-e2e.json).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
if [ $# -ne 1 ]; then
    echo "usage: bench/netmonitor_bench.sh BUILD_DIR" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
[ -x "$build/monitor/netmonitor" ] || { echo "build first: cmake --build $build" >&2; exit 2; }
out=${ZLP_BENCH_OUT:-$build/bench-netmonitor}
echo "command: bench/netmonitor_bench.sh $1 (runs: ${ZLP_BENCH_RUNS:-5})"
exec "$here/../tests/sandbox/sandbox.sh" "$build" -- bash -c '
    printf 127.0.0.2 >/opt/varn/ZLP5520NW/bin/net/config/netIpInfo
    exec "$@"' bench \
    "$here/../tests/desktop/desktop-session.sh" "$out" -- \
    /usr/bin/python3 -W ignore "$here/monitor_startup.py" /opt/varn/ZLP5520NW/bin/net/netmonitor
