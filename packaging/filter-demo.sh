#!/bin/bash
# Runs inside the sandbox: one job through the installed USB filter, as CUPS
# would start it, and a short report of what it produced.
set -euo pipefail
out=$1
mkdir -p "$out"
job=/var/tmp/demo.ps
cat >"$job" <<'PS'
%!PS-Adobe-3.0
%%Pages: 2
%%EndComments
/Helvetica findfont 28 scalefont setfont
%%Page: 1 1
72 720 moveto (ZLP5520NW driver demo, page 1) show
72 100 450 560 rectstroke showpage
%%Page: 2 2
72 720 moveto (ZLP5520NW driver demo, page 2) show
306 400 150 0 360 arc stroke showpage
%%EOF
PS
cp "$job" /var/spool/cups/d00042-001
rc=0
(exec -a ZLP5520NW env PPD=/usr/share/cups/model/ZLP5520NW.ppd \
    /usr/lib/cups/filter/pstopxl_5520nw 42 "$(id -un)" "demo.ps" 1 "Resolution=600dpi Duplex=DuplexNoTumble" \
    <"$job" >"$out/stream.prn" 2>"$out/filter.log") || rc=$?
echo "filter exit code: $rc"
echo
echo "== PJL header sent to the printer =="
sed -n '1,/^@PJL ENTER LANGUAGE/p' "$out/stream.prn" | tr -d '\033' | sed 's/^/  /'
echo
echo "== status lines CUPS would show =="
grep -a -E '^(INFO|STATE):' "$out/filter.log" | sed 's/^/  /'
echo
cp /opt/varn/ZLP5520NW/bin/usb/print_log "$out/print_log"
cp /opt/varn/ZLP5520NW/bin/usb/config/printerInfo "$out/printerInfo"
echo "stream: $out/stream.prn ($(stat -c %s "$out/stream.prn") bytes)"
echo "print log: $out/print_log; settings: $out/printerInfo; run log: $out/filter.log"
