#!/bin/bash
# The installed ipsetup on the desktop stand-in, driven through the accessibility bus.
# Runs inside tests/sandbox/sandbox.sh --cupsd:
#   desktop_test.sh OUTDIR ZLPSIM_USB PYTHON
set -euo pipefail
outdir=$1 sim=$2 python=$3
here=$(cd "$(dirname "$0")" && pwd)
[ -n "${ZLP_IN_SANDBOX:-}" ] || { echo "desktop_test.sh runs inside sandbox.sh" >&2; exit 2; }
source "$here/stand-ins.sh"
use_init_script yes
exec "$here/../desktop/desktop-session.sh" "$outdir" -- \
    "$python" -W ignore "$here/desktop_test.py" --sim "$sim" --script "$here/answering-printer.txt"
