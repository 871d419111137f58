#!/bin/bash
# Redraws docs/screenshots/ipsetup-*.png from a build tree (default: build/).
#   docs/screenshots/make-ipsetup-screenshots.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../../build}
cmake --build "$build" --target ipsetup_screenshots
QT_QPA_PLATFORM=offscreen "$build/tests/ipsetup/ipsetup_screenshots" "$here"
