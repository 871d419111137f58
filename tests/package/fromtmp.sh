#!/bin/bash
# Runs a command from a copy of this checkout under /tmp, as a new user's clone there would
# run it: every argument that starts with @SRC@ gets the copy's path in its place. The copy
# holds the checkout's tracked and untracked files (not what .gitignore leaves out, such as
# build folders) and is removed afterwards.
#
#   fromtmp.sh SOURCE_DIR -- COMMAND [ARG...]
set -euo pipefail
src=$(cd "$1" && pwd)
shift
[ "${1:-}" = "--" ] && shift
[ $# -gt 0 ] || { echo "usage: fromtmp.sh SOURCE_DIR -- COMMAND..." >&2; exit 2; }

copy=$(mktemp -d /tmp/zlp-checkout.XXXXXX)
trap 'rm -rf "$copy"' EXIT
if git -C "$src" rev-parse --show-toplevel >/dev/null 2>&1; then
    (cd "$src" && git ls-files -z --cached --others --exclude-standard |
        tar --null -T - --ignore-failed-read -cf -) | tar -C "$copy" -xf -
else
    cp -a "$src/." "$copy/"
fi
args=()
for a in "$@"; do
    args+=("${a//@SRC@/$copy}")
done
echo "checkout copied to $copy"
"${args[@]}"
