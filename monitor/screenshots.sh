#!/bin/bash
# Renders the monitor window in its start-up, normal, warning and error states into
# docs/screenshots/, under Xvfb with Debian's CJK fonts (fonts-noto-cjk).
# usage: monitor/screenshots.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cmake --build "$build" --target monitor_screenshot
mkdir -p docs/screenshots
# A fixed locale and font setting so that the pictures do not depend on the machine.
LANG=C.UTF-8 QT_QPA_PLATFORM=xcb QT_FONT_DPI=96 \
    xvfb-run -a -s "-screen 0 1280x1024x24" "$build/monitor/monitor_screenshot" docs/screenshots
