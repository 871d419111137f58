#!/bin/bash
# Runs bench/monitor_desktops.py in the sandbox (the suite installed under /opt) on a desktop
# session without the stand-in.   bench/monitor_desktops.sh BUILD_DIR [SECONDS]   (as root)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
out=$(mktemp -d /tmp/zlp-monitor-desktops.XXXXXX)
exec "$repo/tests/sandbox/sandbox.sh" "$build" -- env DESKTOP_STUB=none \
    "$repo/tests/desktop/desktop-session.sh" "$out" -- \
    /usr/bin/python3 -W ignore "$repo/bench/monitor_desktops.py" "${2:-30}"
