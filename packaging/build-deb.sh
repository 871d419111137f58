#!/bin/bash
# Builds the Debian package from a copy of the source tree, so neither the tree
# nor its parent folder gets dpkg-buildpackage's output, and runs lintian on it.
#
#   build-deb.sh OUTDIR [dpkg-buildpackage option...]
#
# OUTDIR receives the .deb, the .buildinfo/.changes and lintian.txt. Extra options
# go to dpkg-buildpackage (for example -aarm64 for a cross build).
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "$1" && cd "$1" && pwd)
shift
work=$(mktemp -d /var/tmp/zlp-deb.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/src"
# The files of the tree as git sees them (tracked, and new ones not ignored), or
# everything but build folders when there is no git.
if git -C "$src" rev-parse --show-toplevel >/dev/null 2>&1; then
    (cd "$src" && git ls-files -z -co --exclude-standard | xargs -0 tar -cf - --no-recursion) |
        tar -xf - -C "$work/src"
else
    tar -C "$src" --exclude='./build*' --exclude='./out' -cf - . | tar -xf - -C "$work/src"
fi
# Earlier results of this package in OUTDIR would be taken for this build's.
rm -f "$out"/printer-{driver,app}-zlp5520nw*_"$(dpkg-architecture -qDEB_HOST_ARCH "$@" 2>/dev/null || dpkg --print-architecture)".{deb,changes,buildinfo}
case " ${DEB_BUILD_OPTIONS:-} " in
*" parallel="*) ;;
*) export DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-} parallel=$(nproc)" ;;
esac
start=$(date +%s)
(cd "$work/src" && dpkg-buildpackage -b -us -uc "$@") >"$out/build.log" 2>&1 ||
    { tail -n 60 "$out/build.log" >&2; echo "build-deb.sh: dpkg-buildpackage failed (log: $out/build.log)" >&2; exit 1; }
echo "build-deb.sh: dpkg-buildpackage took $(($(date +%s) - start)) s"
find "$work" -maxdepth 1 -type f \( -name '*.deb' -o -name '*.buildinfo' -o -name '*.changes' \) \
    -exec cp {} "$out/" \;
changes=$(ls "$out"/*.changes | tail -n 1)
if command -v lintian >/dev/null; then
    start=$(date +%s)
    lintian --display-info --show-overrides --tag-display-limit 0 "$changes" >"$out/lintian.txt" 2>&1 ||
        true
    echo "build-deb.sh: lintian took $(($(date +%s) - start)) s"
    cat "$out/lintian.txt"
    # Errors and warnings must be fixed or overridden with their reason.
    if grep -E '^[EW]: ' "$out/lintian.txt"; then
        echo "build-deb.sh: lintian reports the errors or warnings above" >&2
        exit 1
    fi
fi
ls "$out"/*.deb
