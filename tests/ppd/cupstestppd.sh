#!/bin/sh
# cupstestppd.sh PPD [cupstestppd option...]
# Passes when cupstestppd accepts the PPD: exit code 0 and a PASS verdict. Its
# warnings are shown but do not fail the check.
ppd=$1
shift
out=$(cupstestppd "$@" "$ppd" 2>&1)
rc=$?
printf '%s\n' "$out"
if [ "$rc" -ne 0 ]; then
    echo "cupstestppd.sh: cupstestppd exited with $rc for $ppd" >&2
    exit 1
fi
case "$out" in
"$ppd: PASS"*) exit 0 ;;
esac
echo "cupstestppd.sh: no PASS verdict for $ppd" >&2
exit 1
