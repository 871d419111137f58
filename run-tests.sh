#!/bin/bash
# Installs what the suite needs, builds it with warnings as errors and runs
# every test with CTest. Run as root on Debian 12.
set -euo pipefail
cd "$(dirname "$0")"
bash packaging/setup-machine.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DZLP_WERROR=ON
cmake --build "$build" -j"$(nproc)"
# No test is run a second time: one that fails, fails the run (a test that must keep a retry
# says so in its own CTest properties, see the README). The summary counts skipped tests apart.
ctest --test-dir "$build" -j"$(nproc)" --output-on-failure --timeout 600 "$@"
