#!/bin/bash
# Runs the dialog tests inside tests/sandbox/sandbox.sh --cupsd, with the stand-ins of
# stand-ins.sh. Three passes: with /etc/init.d/cups, without it (the service command), and
# as a user without CUPS rights.
#
#   dialog_test.sh DIALOG_TEST_BINARY
set -euo pipefail
test=$1
[ -n "${ZLP_IN_SANDBOX:-}" ] || { echo "dialog_test.sh runs inside sandbox.sh" >&2; exit 2; }
source "$(dirname "$0")/stand-ins.sh"

status=0
echo "== pass 1: /etc/init.d/cups present"
use_init_script yes
"$test" || status=1

echo "== pass 2: no /etc/init.d/cups"
use_init_script no
"$test" serviceRestartWithoutInitScript || status=1

echo "== pass 3: a user without CUPS rights"
rm -f /opt/varn/ZLP5520NW/bin/net/config/netIpInfo
cp "$test" /var/tmp/dialog_test && chmod 755 /var/tmp/dialog_test
setpriv --reuid=nobody --regid=nogroup --clear-groups --reset-env \
    env HOME=/var/tmp PATH="$PATH" /var/tmp/dialog_test userWithoutRightsGetsTheReason || status=1
exit $status
