#!/bin/bash
# Cross-builds the Debian package for arm64 on an amd64 Debian 12 machine and runs
# the tests that need neither namespaces nor devices from an arm64 build under
# qemu-user. Run as root, by hand (it downloads about 200 arm64 packages; see the
# README for the times):
#
#   packaging/cross-arm64.sh OUTDIR
#
# Everything happens in a throwaway copy of the machine (packaging/throwaway-root.sh):
# the arm64 architecture, the cross compilers and the arm64 development packages are
# installed there and vanish afterwards. OUTDIR keeps the .deb, lintian's report, the
# logs, stage times, and the downloaded packages for the next run (apt-archives/).
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
[ $# -eq 1 ] || { echo "usage: cross-arm64.sh OUTDIR" >&2; exit 2; }
mkdir -p "$1/apt-archives/partial"
out=$(cd "$1" && pwd)

if [ -z "${ZLP_IN_THROWAWAY:-}" ]; then
    exec "$src/packaging/throwaway-root.sh" --keep "$out" -- "$src/packaging/cross-arm64.sh" "$out"
fi

times=$out/times.txt
: >"$times"
stage() { # name command...
    local name=$1 start rc=0
    shift
    start=$(date +%s)
    echo "== $name"
    # In the background, so that set -e holds inside the stage's function.
    "$@" >"$out/$name.log" 2>&1 &
    wait $! || rc=$?
    echo "$name: $(($(date +%s) - start)) s$([ $rc = 0 ] || echo " (failed, exit $rc)")" | tee -a "$times"
    if [ $rc != 0 ]; then
        tail -n 40 "$out/$name.log" >&2
        exit $rc
    fi
}

export DEBIAN_FRONTEND=noninteractive
mount --bind "$out/apt-archives" /var/cache/apt/archives
# The test build's libraries for arm64. umockdev's development package cannot be installed
# for two architectures at once; here the arm64 one replaces the machine's.
test_packages=(libgtest-dev:arm64 libumockdev-dev:arm64)

setup() {
    dpkg --add-architecture arm64
    apt-get update -q
    apt-get install -y -q --no-install-recommends crossbuild-essential-arm64 qemu-user-static \
        dpkg-dev debhelper
    # The package's Build-Depends, resolved for an arm64 host.
    (cd "$src" && apt-get build-dep -y -q --no-install-recommends -a arm64 ./)
    apt-get install -y -q --no-install-recommends "${test_packages[@]}"
}

package() {
    DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-} nocheck" "$src/packaging/build-deb.sh" "$out" -aarm64
    dpkg-deb --info "$out"/printer-driver-zlp5520nw_*_arm64.deb | grep -E 'Architecture|Depends'
    dpkg -c "$out"/printer-driver-zlp5520nw_*_arm64.deb
    dpkg-deb --info "$out"/printer-app-zlp5520nw_*_arm64.deb | grep -E 'Architecture|Depends'
    dpkg -c "$out"/printer-app-zlp5520nw_*_arm64.deb
}

# The arm64 test build: the same CMake flags debhelper gives a cross build, plus the
# tests, with qemu-user running the test programs (also when CTest lists gtest cases).
# Without -Werror: Debian's hardening flags (_FORTIFY_SOURCE) warn where the amd64 CI
# build, which has none, does not.
tests_build() {
    rm -rf /var/tmp/arm64
    cd "$src"
    dpkg-architecture -a arm64 -c dh_auto_configure --buildsystem=cmake \
        --builddirectory=/var/tmp/arm64 -- -DZLP_BUILD_TESTS=ON \
        -DCMAKE_CROSSCOMPILING_EMULATOR=/usr/bin/qemu-aarch64-static
    cmake --build /var/tmp/arm64 -j"$(nproc)" --target ${ARM64_TEST_TARGETS}
    file /var/tmp/arm64/tests/filter/filter_core_tests
}

# Left out: tests that run inside the test sandbox or a throwaway root (namespaces),
# the USB ones (umockdev's device emulation), those that are not arm64 code (shell
# scripts, cupstestppd), and those that start other arm64 programs of the build as
# children (backend stand-in, fast-time preload, network simulator): qemu-user runs
# only the program it is given, and the kernel runs further arm64 programs only with a
# binfmt_misc entry for qemu, which this machine does not have and which would change
# the whole machine, not the throwaway root.
ARM64_TEST_TARGETS="filter_core_tests ppd_test e2e_simulator_test zlpsim_backend_test images_test"
tests_run() {
    cd /var/tmp/arm64
    # The tests of the programs built above, chosen from CTest's own listing by the
    # program they run; then the exclusions.
    local names
    names=$(ctest --show-only=json-v1 | python3 -c '
import json, os, re, sys
targets = set(sys.argv[1].split())
skip = re.compile(r"^(art\.pdfreader|(BackendTest|FastTime|NetSimulator)\..*)$")
chosen = []
for test in json.load(sys.stdin)["tests"]:
    command = test.get("command") or []
    runs_target = any(os.path.basename(part) in targets for part in command)
    if runs_target and not skip.match(test["name"]):
        chosen.append(re.escape(test["name"]))
print("^(" + "|".join(chosen) + ")$")' "$ARM64_TEST_TARGETS")
    ctest --output-on-failure --timeout 300 -R "$names"
}

stage arm64-setup setup
# ZLP_ARM64_TESTS_ONLY=1 skips the package (about 15 minutes, most of it laying out the
# guide under qemu) when only the tests are wanted.
[ -n "${ZLP_ARM64_TESTS_ONLY:-}" ] || stage arm64-package package
stage arm64-tests-build tests_build
stage arm64-tests-run tests_run
cp /var/tmp/arm64/Testing/Temporary/LastTest.log "$out/arm64-LastTest.log" 2>/dev/null || true
grep -E 'tests passed|tests failed' "$out/arm64-tests-run.log" || true
cat "$times"
