#!/bin/bash
# The sandbox with its checkout and the build folder under /var/tmp, which it covers with a
# tmpfs: both must stay visible inside (the install reads the build, tests run the
# checkout's scripts). Seen through bind mounts in a mount namespace of this test's own.
#
#   covered_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
if [ -z "${ZLP_COVERED_INNER:-}" ]; then
    export ZLP_COVERED_INNER=1
    exec unshare --mount --propagation private -- "$0" "$@"
fi
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
place=$(mktemp -d /var/tmp/zlp-covered.XXXXXX)
trap 'umount "$place/src" "$place/build" 2>/dev/null || true; rm -rf "$place"' EXIT
mkdir "$place/src" "$place/build"
mount --bind "$src" "$place/src"
mount --bind "$build" "$place/build"
"$place/src/tests/sandbox/sandbox.sh" "$place/build" -- sh -c '
    set -e
    test -r "$1/tests/sandbox/covered_test.sh" || { echo "FAIL: the checkout is hidden" >&2; exit 1; }
    test -r "$2/CMakeCache.txt" || { echo "FAIL: the build folder is hidden" >&2; exit 1; }
    test -x /opt/varn/ZLP5520NW/bin/usb/usbmonitor || { echo "FAIL: nothing installed" >&2; exit 1; }
    echo "checkout, build folder and install visible in the sandbox"' sh "$place/src" "$place/build"
