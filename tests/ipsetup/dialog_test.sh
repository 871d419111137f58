#!/bin/bash
# Runs the dialog tests inside tests/sandbox/sandbox.sh --cupsd. Restarting CUPS would end
# the sandbox's cupsd, so the two restart commands are replaced, in this mount namespace
# only, by stand-ins that record their arguments; so is the PDF reader. Three passes: with
# /etc/init.d/cups, without it (the service command), and as a user without CUPS rights.
#
#   dialog_test.sh DIALOG_TEST_BINARY
set -euo pipefail
test=$1
[ -n "${ZLP_IN_SANDBOX:-}" ] || { echo "dialog_test.sh runs inside sandbox.sh" >&2; exit 2; }

stand_ins=/var/tmp/stand-ins
mkdir -p "$stand_ins/init.d" "$stand_ins/empty-init.d"
cat >"$stand_ins/init.d/cups" <<'SH'
#!/bin/sh
echo "init.d/cups $*" >>/var/tmp/restart-calls
SH
cat >"$stand_ins/service" <<'SH'
#!/bin/sh
echo "service $*" >>/var/tmp/restart-calls
SH
reader=/opt/varn/ZLP5520NW/bin/usb/pdfReader
cat >"$stand_ins/pdfReader" <<'SH'
#!/bin/sh
echo "$*" >>/var/tmp/pdfreader-calls
sleep 1
SH
chmod 755 "$stand_ins/init.d/cups" "$stand_ins/service" "$stand_ins/pdfReader"
[ -e "$reader" ] || touch "$reader"
mount --bind "$stand_ins/pdfReader" "$reader"
mount --bind "$stand_ins/service" "$(command -v service || echo /usr/sbin/service)"
mkdir -p /etc/init.d

status=0
echo "== pass 1: /etc/init.d/cups present"
mount --bind "$stand_ins/init.d" /etc/init.d
"$test" || status=1
umount /etc/init.d

echo "== pass 2: no /etc/init.d/cups"
mount --bind "$stand_ins/empty-init.d" /etc/init.d
"$test" serviceRestartWithoutInitScript || status=1

echo "== pass 3: a user without CUPS rights"
rm -f /opt/varn/ZLP5520NW/bin/net/config/netIpInfo
cp "$test" /var/tmp/dialog_test && chmod 755 /var/tmp/dialog_test
setpriv --reuid=nobody --regid=nogroup --clear-groups --reset-env \
    env HOME=/var/tmp PATH="$PATH" /var/tmp/dialog_test userWithoutRightsGetsTheReason || status=1
exit $status
