# Sourced by the sandboxed setup-tool tests. Restarting CUPS would end the sandbox's cupsd,
# so the restart commands are replaced, in this mount namespace only, by stand-ins that record
# their arguments in /var/tmp/restart-calls; the PDF reader by one that records its arguments
# in /var/tmp/pdfreader-calls and stays open for a second.
#   use_init_script yes|no   /etc/init.d holds the cups stand-in, or nothing
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
cat >"$stand_ins/pdfReader" <<'SH'
#!/bin/sh
echo "$*" >>/var/tmp/pdfreader-calls
sleep 1
SH
chmod 755 "$stand_ins/init.d/cups" "$stand_ins/service" "$stand_ins/pdfReader"
reader=/opt/varn/ZLP5520NW/bin/usb/pdfReader
[ -e "$reader" ] || touch "$reader"
mount --bind "$stand_ins/pdfReader" "$reader"
mount --bind "$stand_ins/service" "$(command -v service || echo /usr/sbin/service)"
mkdir -p /etc/init.d

use_init_script() {
    mountpoint -q /etc/init.d && umount /etc/init.d
    if [ "$1" = yes ]; then
        mount --bind "$stand_ins/init.d" /etc/init.d
    else
        mount --bind "$stand_ins/empty-init.d" /etc/init.d
    fi
}
