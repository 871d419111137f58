#!/bin/bash
# The whole CTest suite on an arm64 build, on an amd64 Debian 12 machine, by hand (as root):
#
#   packaging/arm64-suite.sh OUTDIR [CTEST_ARG...]      e.g. -R '^e2e\.' or -L monitor
#
# In a throwaway copy of the machine (packaging/throwaway-root.sh) it installs the arm64
# architecture, the cross compilers and the arm64 libraries, cross-builds the package
# (ZLP_ARM64_TESTS_ONLY=1 leaves it out) and every program and test of the suite for arm64,
# and runs the whole CTest suite of that build as root of a user namespace of its own
# (packaging/userns-root.sh) whose binfmt_misc runs every arm64 program under qemu-user.
# The test scripts, Python, Xvfb, D-Bus, cupsd and Ghostscript stay the machine's (amd64);
# the programs under test, the simulators and the test programs are arm64.
# OUTDIR keeps the logs (arm64-suite-run.log: CTest's output), stage times and downloads.
# qemu comes from bookworm-backports (ZLP_ARM64_QEMU_BACKPORTS=, empty, for Debian 12's 7.2,
# under which no QProcess child of an arm64 Qt program starts: see the README).
set -euo pipefail
export ZLP_ARM64_QEMU_BACKPORTS=${ZLP_ARM64_QEMU_BACKPORTS-1}
exec "$(cd "$(dirname "$0")" && pwd)/cross-arm64.sh" --suite "$@"
