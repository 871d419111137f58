#!/bin/bash
# Load test through a private cupsd: JOBS jobs (default 300) on both queues at once, every
# tenth cancelled, the network printer busy now and then; checks what CUPS, the simulated
# printers and the print logs say (bench/loadtest.py). Not part of CI: it takes a while.
#
#   bench/loadtest.sh BUILD_DIR [JOBS] [SEED]      (as root)
#
# The report goes to BUILD_DIR/bench/loadtest/loadtest.json.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -lt 1 ] || [ ! -x "$1/sim/net/zlpsim-net" ]; then
    echo "usage: $0 BUILD_DIR [JOBS] [SEED]   (a built tree: cmake --build BUILD_DIR)" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
jobs=${2:-300}
seed=${3:-5520}
mkdir -p "$build/bench/loadtest"
exec "$repo/tests/sandbox/sandbox.sh" "$build" --cupsd -- python3 "$repo/bench/loadtest.py" \
    --sim "$build/sim/net/zlpsim-net" --out "$build/bench/loadtest" --jobs "$jobs" --seed "$seed"
