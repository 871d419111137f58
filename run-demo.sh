#!/bin/bash
# Installs what the suite needs, builds it and prints a job through the
# installed USB filter inside a private sandbox, then shows what the printer
# would receive and what CUPS would show. Run as root on Debian 12.
set -euo pipefail
cd "$(dirname "$0")"
bash packaging/setup-machine.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
if [ -x demo/demo.sh ]; then
    exec demo/demo.sh "$build" "${1:-out}"
fi
exec tests/sandbox/sandbox.sh "$build" -- bash packaging/filter-demo.sh "$(pwd)/${1:-out}"
