#!/bin/sh
# Runs inside the test sandbox with its private cupsd: checks the two PPDs as
# installed, the way CUPS and the setup tool meet them.
here=$(cd "$(dirname "$0")" && pwd)
model=$(cups-config --datadir)/model
fail=0
for queue in ZLP5520NW ZLP5520NW-net; do
    ppd=$model/$queue.ppd
    mode=$(stat -c %a "$ppd") || { fail=1; continue; }
    if [ "$mode" != 644 ]; then
        echo "installed_ppds.sh: $ppd has mode $mode, want 644" >&2
        fail=1
    fi
    # The full check, with the installed filter it names.
    "$here/cupstestppd.sh" "$ppd" || fail=1
    # Offered by cupsd as a Chinese-language model.
    if ! lpinfo -l -m | grep -A1 "name = $queue.ppd\$" | grep -q "natural_language = zh\$"; then
        echo "installed_ppds.sh: cupsd does not offer $queue.ppd as a Chinese model" >&2
        lpinfo -l -m | grep -A3 "name = $queue.ppd\$" >&2
        fail=1
    fi
done

# The queue as the setup tool registers it, and its options as CUPS reads them.
if lpadmin -p ZLP5520NW-net -m ZLP5520NW-net.ppd -v socket://127.0.0.1:9100 -E; then
    options=$(lpoptions -p ZLP5520NW-net -l)
    for expected in 'PageSize/纸张大小: Custom.WIDTHxHEIGHT \*A4 ' 'MediaType/纸张类型: \*PLAIN ' \
        'Resolution/分辨率: .*\*600dpi ' 'Passwd4/安全打印密码第四位: \*False '; do
        if ! printf '%s\n' "$options" | grep -q "^$expected"; then
            echo "installed_ppds.sh: no option line matching '$expected' in:" >&2
            printf '%s\n' "$options" >&2
            fail=1
        fi
    done
else
    echo "installed_ppds.sh: lpadmin could not add the network queue" >&2
    fail=1
fi
exit $fail
