#!/bin/bash
# Cross-builds the Debian package for arm64 on an amd64 Debian 12 machine and runs the
# unit tests of an arm64 build under qemu-user (those that need no install of the whole
# build: see ARM64_TEST_TARGETS). Run as root (it downloads about 200 arm64 packages; see
# the README for the times; CI runs it with ZLP_ARM64_TESTS_ONLY=1):
#
#   packaging/cross-arm64.sh OUTDIR
#
# Everything happens in a throwaway copy of the machine (packaging/throwaway-root.sh):
# the arm64 architecture, the cross compilers and the arm64 development packages are
# installed there and vanish afterwards. OUTDIR keeps the .deb, lintian's report, the
# logs, stage times, and the downloaded packages for the next run (apt-archives/).
#
# With --suite (packaging/arm64-suite.sh) the whole CTest suite of the arm64 build runs
# instead of the unit tests: see arm64-suite.sh.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
suite=0
if [ "${1:-}" = --suite ]; then
    suite=1
    shift
fi
[ $# -ge 1 ] || { echo "usage: cross-arm64.sh [--suite] OUTDIR [CTEST_ARG...]" >&2; exit 2; }
mkdir -p "$1/apt-archives/partial"
out=$(cd "$1" && pwd)
shift
[ $suite = 1 ] || [ $# -eq 0 ] || { echo "usage: cross-arm64.sh OUTDIR" >&2; exit 2; }

if [ -z "${ZLP_IN_THROWAWAY:-}" ]; then
    mode=()
    [ $suite = 0 ] || mode=(--suite)
    exec "$src/packaging/throwaway-root.sh" --keep "$out" -- "$src/packaging/cross-arm64.sh" \
        "${mode[@]}" "$out" "$@"
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
# The test build's libraries for arm64. umockdev's packages cannot be installed for two
# architectures at once; here the arm64 ones replace the machine's (umockdev holds the
# preload library that arm64 programs need under umockdev-wrapper).
test_packages=(libgtest-dev:arm64 libumockdev-dev:arm64 umockdev:arm64)
# The whole suite also needs Qt's Wayland platform and Mesa's EGL for the monitors on weston
# (desktop.real_components): the Build-Depends bring neither, and an arm64 program cannot
# load the machine's amd64 plugins.
suite_packages=(qtwayland5:arm64 libegl-mesa0:arm64 libgl1-mesa-dri:arm64)

setup() {
    dpkg --add-architecture arm64
    apt-get update -q
    # ccache: the arm64 build compiles through it (configure_arm64); a fresh machine has none.
    apt-get install -y -q --no-install-recommends crossbuild-essential-arm64 qemu-user-static \
        dpkg-dev debhelper ccache
    # The package's Build-Depends, resolved for an arm64 host.
    (cd "$src" && apt-get build-dep -y -q --no-install-recommends -a arm64 ./)
    apt-get install -y -q --no-install-recommends "${test_packages[@]}"
    [ $suite = 0 ] || apt-get install -y -q --no-install-recommends "${suite_packages[@]}"
    # Debian 12's qemu-user (7.2) has no clone(CLONE_PIDFD), which Qt 5.15's QProcess uses once
    # waitid(P_PIDFD) works (qemu passes that to the kernel): every QProcess child of an arm64
    # Qt program fails to start. ZLP_ARM64_QEMU_BACKPORTS=1 takes qemu from bookworm-backports.
    if [ -n "${ZLP_ARM64_QEMU_BACKPORTS:-}" ]; then
        echo "deb http://deb.debian.org/debian bookworm-backports main" \
            >/etc/apt/sources.list.d/zlp-backports.list
        apt-get update -q
        apt-get install -y -q --no-install-recommends -t bookworm-backports qemu-user-static
    fi
    qemu-aarch64-static --version | head -n 1
}

package() {
    DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-} nocheck" "$src/packaging/build-deb.sh" "$out" -aarm64
    dpkg-deb --info "$out"/printer-driver-zlp5520nw_*_arm64.deb | grep -E 'Architecture|Depends'
    dpkg -c "$out"/printer-driver-zlp5520nw_*_arm64.deb
    dpkg-deb --info "$out"/printer-app-zlp5520nw_*_arm64.deb | grep -E 'Architecture|Depends'
    dpkg -c "$out"/printer-app-zlp5520nw_*_arm64.deb
}

# The arm64 test build: the same CMake flags debhelper gives a cross build, plus the
# tests, with qemu-user running the test programs. Without -Werror: Debian's hardening
# flags (_FORTIFY_SOURCE) warn where the amd64 CI build, which has none, does not. Test
# discovery happens when CTest starts, inside the user namespace below, and every time-out
# is multiplied by ZLP_ARM64_TIMEOUT_SCALE (qemu runs the programs several times slower).
# The build folder is OUTDIR/arm64-build, compiled through ccache (OUTDIR/ccache), so that
# a second run rebuilds only what changed.
configure_arm64() { # extra CMake options...
    mkdir -p "$out/arm64-build" "$out/ccache"
    ln -sfn "$out/arm64-build" /var/tmp/arm64
    cd "$src"
    dpkg-architecture -a arm64 -c dh_auto_configure --buildsystem=cmake \
        --builddirectory=/var/tmp/arm64 -- -DZLP_BUILD_TESTS=ON \
        -DCMAKE_CROSSCOMPILING_EMULATOR=/usr/bin/qemu-aarch64-static \
        -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST \
        -DZLP_TEST_TIMEOUT_SCALE="${ZLP_ARM64_TIMEOUT_SCALE:-4}" \
        -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache "$@"
}
export CCACHE_DIR=$out/ccache

# CTest as root of a user namespace of its own (packaging/userns-root.sh) with qemu-user's
# binfmt_misc entry, so that each arm64 program a test starts, also from a script or from
# another arm64 program, runs under qemu; the machine's own binfmt_misc is not touched.
ctest_arm64() { # ctest options...
    cd /var/tmp/arm64
    local rc=0
    "$src/packaging/userns-root.sh" --binfmt /usr/lib/binfmt.d/qemu-aarch64.conf -- \
        ctest --output-on-failure --timeout 1200 "$@" || rc=$?
    cp Testing/Temporary/LastTest.log "$out/arm64-LastTest.log" 2>/dev/null || true
    return $rc
}

# The unit tests (the default mode, also in CI): test programs that need neither the
# sandbox's install of the whole build nor a throwaway root: the filter's option, header and
# job-file tests, the PPD tests, the PCL XL decoder and simulator tests, the backend
# stand-in and fast-time preload, the images, the network monitor's decisions, the Printer
# Application's option mapping and printer stream, and the USB link in both builds with the
# simulated printer under umockdev. Not the job watch: its listing child is a QProcess,
# which Debian 12's qemu-user cannot run (see the README).
ARM64_TEST_TARGETS="filter_core_tests ppd_test e2e_simulator_test zlpsim_backend_test images_test
    usblink_monitor_test usblink_setup_test zlpsim_usb_test netstatus_test printerapp_test"
tests_build() {
    configure_arm64
    cmake --build /var/tmp/arm64 -j"$(nproc)" --target ${ARM64_TEST_TARGETS}
    file /var/tmp/arm64/tests/filter/filter_core_tests
}

tests_run() {
    cd /var/tmp/arm64
    # The tests of the programs built above, chosen from CTest's own listing (which lists
    # discovered cases only with binfmt at hand, so in the namespace too) by the program they
    # run; the pdfReader script is not arm64 code, and tests in the sandbox need the install
    # of the whole build.
    local names
    names=$("$src/packaging/userns-root.sh" --binfmt /usr/lib/binfmt.d/qemu-aarch64.conf -- \
        ctest --show-only=json-v1 | python3 -c '
import json, os, re, sys
targets = set(sys.argv[1].split())
skip = re.compile(r"^art\.pdfreader$")
chosen = []
for test in json.load(sys.stdin)["tests"]:
    command = test.get("command") or []
    runs_target = any(os.path.basename(part) in targets for part in command)
    in_sandbox = any(part.endswith("/sandbox.sh") for part in command)
    if runs_target and not in_sandbox and not skip.match(test["name"]):
        chosen.append(re.escape(test["name"]))
print("^(" + "|".join(chosen) + ")$")' "$ARM64_TEST_TARGETS")
    ctest_arm64 -j"$(nproc)" -R "$names"
}

# The whole suite (--suite): every program and test built for arm64, every test of CTest's
# listing run but package.build, whose work the package stage does (its .deb is handed to
# the lifecycle tests).
suite_build() {
    configure_arm64 -DZLP_FUZZ=OFF
    cmake --build /var/tmp/arm64 -j"$(nproc)"
    file /var/tmp/arm64/filter/pstopxl_5520nw /var/tmp/arm64/monitor/usbmonitor
}

suite_run() {
    mkdir -p /var/tmp/arm64/package
    cp "$out"/printer-{driver,app}-zlp5520nw_*_arm64.deb /var/tmp/arm64/package/ 2>/dev/null || true
    local rc=0
    ctest_arm64 -j"$(nproc)" -E '^package\.build$' -FS zlp_deb "${ctest_args[@]}" || rc=$?
    echo "$rc" >"$out/arm64-suite-rc"
}

if [ $suite = 1 ]; then
    ctest_args=("$@")
    stage arm64-setup setup
    [ -n "${ZLP_ARM64_TESTS_ONLY:-}" ] || stage arm64-package package
    stage arm64-suite-build suite_build
    stage arm64-suite-run suite_run
    grep -E 'tests passed|tests failed|Not Run|Failed|Timeout|Skipped' "$out/arm64-suite-run.log" || true
    cat "$times"
    exit "$(cat "$out/arm64-suite-rc")"
fi

stage arm64-setup setup
# ZLP_ARM64_TESTS_ONLY=1 skips the package (a second whole build, in the package's own
# folder) when only the tests are wanted.
[ -n "${ZLP_ARM64_TESTS_ONLY:-}" ] || stage arm64-package package
stage arm64-tests-build tests_build
stage arm64-tests-run tests_run
cp /var/tmp/arm64/Testing/Temporary/LastTest.log "$out/arm64-LastTest.log" 2>/dev/null || true
grep -E 'tests passed|tests failed' "$out/arm64-tests-run.log" || true
cat "$times"
