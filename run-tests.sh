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
rc=0
ctest --test-dir "$build" -j"$(nproc)" --output-on-failure --timeout 600 "$@" | tee "$build/ctest.log" ||
    rc=$?
# CTest's own summary counts a skipped test as neither passed nor failed, and lists it among
# those that "did not run"; this line counts each kind.
count() { grep -cE "^ *[0-9]+/[0-9]+ Test +#[0-9]+: .*[ .]$1[ :]" "$build/ctest.log" || true; }
echo "run-tests.sh: $(count Passed) passed, $(count '\*\*\*Skipped') skipped," \
    "$(($(count '\*\*\*Failed') + $(count '\*\*\*Timeout') + $(count '\*\*\*Exception') + $(count '\*\*\*Not Run'))) failed"
exit $rc
